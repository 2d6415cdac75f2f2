// NAL unit headers and the dispatch of each unit to its parser.
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

void SetErrorFlags(HevcDecoder* dec) {
  if (!dec->iErrorLatched) dec->iErrorPending = dec->iErrorLatched = 1;
}

}  // namespace

int32_t HevcDecodeNalUnit(HevcDecoder* dec, uint8_t* unit, int32_t len, int32_t scLen) {
  if (len > dec->iStreamBufSize) return IH265D_ERR_ARG;
  if (len < 2) {
    // shorter than its own header: nothing to read it from
    HEVC_ERR(dec, "IH265D_Decode : The NAL unit has %d bytes, shorter than its header!\n", len);
    SetErrorFlags(dec);
    return IH265D_ERR_NAL;
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
  } else {
    HEVC_ERR(dec, "IH265D_Decode : The NAL type %d is not support !\n", type);
    return IH265D_ERR_NAL;
  }
  if (r) SetErrorFlags(dec);
  return r;
}

}  // namespace hevc
