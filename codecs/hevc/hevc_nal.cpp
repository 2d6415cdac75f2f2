// NAL unit headers and the dispatch of each unit to its parser.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

namespace hevc {
namespace {

int32_t HevcParseNalHeader(HevcDecoder* dec, const uint8_t* p, HevcNalHeader* h) {
  h->forbidden_zero_bit = p[0] >> 7;
  h->nal_unit_type = (p[0] >> 1) & 0x3F;
  h->nuh_layer_id = ((p[0] & 1) << 5) | (p[1] >> 3);
  h->TemporalId = (p[1] & 7) - 1;
  if (h->forbidden_zero_bit)
    HEVC_WARN(dec, "IH265D_Decode : The value of forbidden_zero_bit is %d, should be 0!\n", h->forbidden_zero_bit);
  if (h->nuh_layer_id)
    HEVC_WARN(dec, "IH265D_Decode : The value of nuh_layer_id is %d, should be equal to 0!\n", h->nuh_layer_id);
  if (h->TemporalId < 0) {
    HEVC_ERR(dec, "IH265D_Decode : The value of nuh_temporal_id is %d, should be in the range of 0~6!\n",
             h->TemporalId);
    return IH265D_ERR_NAL;
  }
  int t = h->nal_unit_type;
  if (h->TemporalId != 0 && t >= 16 && t <= 23)
    HEVC_WARN(dec,
              "IH265D_Decode : The value of nuh_temporal_id is %d, it should be equal to 0 when nal_unit_type is in "
              "the range of BLA_W_LP~RSV_IRAP_VCL23!\n",
              h->TemporalId);
  if (h->TemporalId == 0 && (t == 3 || t == 4))
    HEVC_WARN(dec,
              "IH265D_Decode : The value of nuh_temporal_id is %d, it should not be equal to 0 when nal_unit_type is "
              "in the range of TSA_R~STSA_N!\n",
              h->TemporalId);
  if (h->TemporalId != 0 && (t == 32 || t == 33 || t == 36 || t == 37))
    HEVC_WARN(dec, "IH265D_Decode : The value of nuh_temporal_id is %d, it should be equal to 0 when nal_unit_type is %d!\n",
              h->TemporalId, t);
  return 0;
}

void SetErrorFlags(HevcDecoder* dec) { HevcSetErrorFlags(dec); }

bool IsSlice(int type) { return type <= 9 || (type >= 16 && type <= 21); }

void AuEmpty(HevcAuBatch* au) {
  au->iCursor = au->iCount = au->iUsed = au->iScTotal = 0;
  au->iAuState = 0;
}

// Appends a unit; false when the tables are full (the batch is then given up
// when it is handled).
bool AuAppend(HevcAuBatch* au, const uint8_t* unit, int32_t len, int32_t scLen, int type) {
  if (au->iCount >= kAuMaxUnits) {
    ++au->iCount;  // remembered as too many
    return false;
  }
  std::memcpy(au->pBuf + au->iUsed, unit, len);
  au->iUsed += len;
  std::memset(au->pBuf + au->iUsed, 0, 64);  // into the block's spare bytes at most: look-ahead reads zeros
  au->iScTotal += scLen;
  au->aiEnd[au->iCount] = au->iUsed;
  au->aiScBytes[au->iCount] = au->iScTotal;
  au->aiType[au->iCount] = type;
  ++au->iCount;
  return true;
}

// The threaded path: units are gathered into the access-unit batch; the unit
// that begins the next picture closes it, and the batch is handled then.
int32_t DecodeNalUnitAu(HevcDecoder* dec, uint8_t* unit, int32_t len, int32_t scLen) {
  HevcAuBatch* au = &dec->stAu;
  HevcNalHeader hdr;
  int32_t r = HevcParseNalHeader(dec, unit, &hdr);
  if (r) {
    SetErrorFlags(dec);
    return r;
  }
  const int type = hdr.nal_unit_type;
  const bool start = type <= 31 && len > 2 && (unit[2] & 0x80);
  if (start) {
    if (au->iAuState == 0) {
      au->iAuState = 2;
      au->iAuPrevState = 0;
    }
    dec->iFirstSliceToggle = 1;
  } else {
    dec->iFirstSliceToggle = 0;
  }
  if (au->iAuState == 0) {
    AuAppend(au, unit, len, scLen, type);
    return 0;
  }
  const bool draining = au->iAuState == 1;
  bool appended = false;
  if (draining && !(au->iAuPrevState == 2 && start)) {
    AuAppend(au, unit, len, scLen, type);
    appended = true;
  }
  if (au->iCount == 0) {
    au->iAuPrevState = au->iAuState;
    au->iAuState = 0;
    AuAppend(au, unit, len, scLen, type);
    return 0;
  }
  // A failing batch is dropped; the unit that closed it (the next picture's
  // first slice) opens the next batch as after a good one, so that the
  // failure of one access unit does not take the next one with it.
  auto fail = [&](int32_t code) {
    SetErrorFlags(dec);
    const int32_t state = au->iAuState;
    AuEmpty(au);
    if (!appended) {
      dec->stFirstSliceNal = hdr;
      au->iAuPrevState = state;
      AuAppend(au, unit, len, scLen, type);
    }
    dec->iFirstSliceToggle = 0;
    return code;
  };
  if (au->iCount > kAuMaxUnits) return fail(-1);
  int lastSlice = -1;
  for (int i = 0; i < au->iCount; ++i)
    if (IsSlice(au->aiType[i])) lastSlice = i;
  for (int i = 0; i < au->iCount; ++i) {
    const int t = au->aiType[i];
    const int32_t from = i ? au->aiEnd[i - 1] : 0;
    const int32_t ulen = au->aiEnd[i] - from;
    uint8_t* u = au->pBuf + from;
    if (t < 32) dec->iVclBytes += ulen + au->aiScBytes[i] - (i ? au->aiScBytes[i - 1] : 0);
    const int32_t rbspLen = ulen > 2 ? HevcRemoveEmulationBytes(u, ulen, u + 2) : 0;
    HevcBitReaderInit(&dec->stBr, u + 2, rbspLen, ulen + 4);
    if (ulen < 2) continue;
    r = 0;
    if (IsSlice(t)) {
      if (draining && start && au->iAuPrevState != 2) dec->stFirstSliceNal = hdr;
      au->iCursor = i;
      r = HevcParseSliceHeaderAu(dec);
      if (r == 0 && dec->pCurPic && dec->pCurPic->iMarking && dec->stPic.bFirstSliceDone) {
        r = HevcSetPictureGeometry(dec, &dec->stPic);
        if (r == 0) r = HevcDecodePicture(dec);
      }
      i = lastSlice;
    } else if (t >= 32 && t <= 34) {
      dec->stNal = hdr;
      r = t == 32 ? HevcParseVps(dec, &dec->stBr) : t == 33 ? HevcParseSps(dec, &dec->stBr) : HevcParsePps(dec, &dec->stBr);
    } else if (t == 36 || t == 37) {
      dec->iSeqStart = 1;
    } else if (t == 39 || t == 40) {
      dec->stNal = hdr;
      HevcParseSei(dec, &dec->stBr);
    } else {
      HEVC_WARN(dec, "IH265D_Decode : The NAL type %d is not support !\n", t);
    }
    if (r) return fail(r);
  }
  AuEmpty(au);
  dec->stFirstSliceNal = hdr;
  au->iAuPrevState = draining ? 1 : 2;
  au->iAuState = 0;
  // threading switched off by this batch: the closing unit, offered again,
  // is taken at once by the single-threaded path, as after its own 2
  dec->iFirstSliceToggle = dec->eThreadType == 1 ? 0 : 1;
  return draining && appended ? 0 : 2;
}

}  // namespace

void HevcSetErrorFlags(HevcDecoder* dec) {
  if (!dec->iErrorLatched) dec->iErrorPending = dec->iErrorLatched = 1;
}

void HevcReadNalHeaderFields(const uint8_t* p, HevcNalHeader* h) {
  h->forbidden_zero_bit = p[0] >> 7;
  h->nal_unit_type = (p[0] >> 1) & 0x3F;
  h->nuh_layer_id = ((p[0] & 1) << 5) | (p[1] >> 3);
  h->TemporalId = (p[1] & 7) - 1;
}

int32_t HevcDecodeNalUnit(HevcDecoder* dec, uint8_t* unit, int32_t len, int32_t scLen) {
  if (len > dec->iStreamBufSize) return IH265D_ERR_ARG;
  if (len < 2) {
    // shorter than its own header: nothing to read it from
    HEVC_ERR(dec, "IH265D_Decode : The NAL unit has %d bytes, shorter than its header!\n", len);
    SetErrorFlags(dec);
    return IH265D_ERR_NAL;
  }
  if (dec->eThreadType == 1) {
    if (dec->stAu.iUsed + len > dec->iStreamBufSize) {
      // An access unit that outgrows the batch buffer is dropped and the unit
      // that did not fit starts a new batch: otherwise no unit after it would
      // fit again until a small picture start closed the batch.
      SetErrorFlags(dec);
      AuEmpty(&dec->stAu);
      const int32_t r = DecodeNalUnitAu(dec, unit, len, scLen);
      return r && r != 2 ? r : IH265D_ERR_ARG;
    }
    return DecodeNalUnitAu(dec, unit, len, scLen);
  }
  int32_t r = HevcParseNalHeader(dec, unit, &dec->stNal);
  if (r) {
    SetErrorFlags(dec);
    return r;
  }
  const int type = dec->stNal.nal_unit_type;
  if (type <= 31 && len > 2 && (unit[2] & 0x80)) {
    if (dec->iFirstSliceToggle == 0) {
      dec->iFirstSliceToggle = 1;
      return 2;
    }
    dec->iFirstSliceToggle = 0;
  }
  if (type < 32) dec->iVclBytes += len + scLen;
  int32_t rbspLen = HevcRemoveEmulationBytes(unit, len, unit + 2);
  HevcBitReaderInit(&dec->stBr, unit + 2, rbspLen, len + 4);
  if (type > 40) {
    HEVC_ERR(dec, "IH265D_Decode : The NAL type %d is not support !\n", type);
    return IH265D_ERR_NAL;
  }
  r = 0;
  if (type <= 9 || (type >= 16 && type <= 21)) {
    r = HevcParseSliceHeader(dec, &dec->stBr);
    if (r == 0 && dec->pCurPic && dec->pCurPic->iMarking && dec->stPic.bFirstSliceDone) {
      r = HevcSetPictureGeometry(dec, &dec->stPic);
      if (r == 0) r = HevcStartSliceData(dec);
    }
  } else if (type == 32) {
    r = HevcParseVps(dec, &dec->stBr);
  } else if (type == 33) {
    r = HevcParseSps(dec, &dec->stBr);
  } else if (type == 34) {
    r = HevcParsePps(dec, &dec->stBr);
  } else if (type == 36 || type == 37) {
    dec->iSeqStart = 1;
  } else if (type == 39 || type == 40) {
    HevcParseSei(dec, &dec->stBr);
  } else if (type == 35 || type == 38) {
    // access-unit delimiters and filler data carry nothing to decode: a good
    // picture around them is no failure
    HEVC_WARN(dec, "IH265D_Decode : The NAL type %d is not support !\n", type);
  } else {
    HEVC_ERR(dec, "IH265D_Decode : The NAL type %d is not support !\n", type);
    return IH265D_ERR_NAL;
  }
  if (r) SetErrorFlags(dec);
  return r;
}

}  // namespace hevc
