#include "media/video/video_decoder.h"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/h264dec.h"
#include "codecs/hevc/ih265d.h"
#include "codecs/common/bit_reader.h"
#include "codecs/common/nal.h"
#include "media/video/video_render.h"

std::recursive_mutex& MediaLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

const uint8_t kStartCode[4] = {0, 0, 0, 1};
int32_t g_hevcChannels = 0;  // under MediaLock

// Largest picture side the front accepts from a header.
constexpr int32_t kMaxSide = 8192;

using bits::BitReader;

// Copy of a NAL payload with emulation-prevention bytes (00 00 03) removed.
std::vector<uint8_t> Unescape(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out(n);
  out.resize(bits::RemoveEmulation(p, static_cast<uint32_t>(n), out.data()));
  return out;
}

// Length of the NAL unit that starts at data (after its start code) up to the next start code.
uint32_t NalExtent(const uint8_t* data, uint32_t length) {
  for (uint32_t i = 0; i + 3 <= length; ++i)
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
  return length;
}

void* HevcMalloc(int32_t, uint32_t size) { return std::malloc(size); }
void HevcFree(int32_t, void* p) { std::free(p); }
void HevcMessage(int32_t, int32_t, const char*, ...) {}

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void JpegErrorExit(j_common_ptr info) {
  auto* err = reinterpret_cast<JpegError*>(info->err);
  longjmp(err->jump, 1);
}
void JpegNoMessage(j_common_ptr) {}

}  // namespace

struct CVideoDecoderState {
  // H.264
  H264DecContext* h264 = nullptr;
  H264DecParam h264Param{};
  // HEVC
  IH265D_HANDLE hevc = nullptr;
  IH265D_InitParam hevcParam{};
  int32_t hevcRefs = 0;
  std::vector<uint8_t> vps;
  // MJPEG
  bool jpegMade = false;
  jpeg_decompress_struct jpeg{};
  JpegError jpegErr{};
  int32_t jpegWidth = 0, jpegHeight = 0;
};

// ---- CVideoDraw ----

CVideoDraw::CVideoDraw(QWidget* window) {
  if (window) AddWindow(window);
}

CVideoDraw::~CVideoDraw() { RemoveAll(); }

bool CVideoDraw::AddWindow(QWidget* window) {
  if (!window || count_ >= kMaxRenderers) return false;
  for (int i = 0; i < count_; ++i)
    if (renders_[i]->Widget() == window) return false;
  std::lock_guard<std::mutex> g(drawLock_);
  renders_[count_++] = new CDDrawVideoRender(window);
  return true;
}

void CVideoDraw::RemoveAll() {
  std::lock_guard<std::mutex> g(drawLock_);
  for (int i = 0; i < count_; ++i) {
    delete renders_[i];
    renders_[i] = nullptr;
  }
  count_ = 0;
}

void CVideoDraw::SetWindowRect(QWidget* window, const RenderRect* rect, uint32_t anchors) {
  std::lock_guard<std::mutex> g(windowLock_);
  for (int i = 0; i < count_; ++i)
    if (renders_[i]->Widget() == window) {
      renders_[i]->SetTargetRect(rect, anchors);
      return;
    }
}

bool CVideoDraw::DrawPicture(const VideoPicture& picture, int32_t mode) {
  mode_ = mode;
  std::lock_guard<std::mutex> g(drawLock_);
  for (int i = 0; i < count_; ++i) renders_[i]->DrawPicture(picture, mode);
  return true;
}

int CVideoDraw::RendererCount() {
  std::lock_guard<std::mutex> g(drawLock_);
  return count_;
}

CVideoRenderBase* CVideoDraw::RendererOf(QWidget* window) {
  std::lock_guard<std::mutex> g(drawLock_);
  for (int i = 0; i < count_; ++i)
    if (renders_[i]->Widget() == window) return renders_[i];
  return nullptr;
}

// ---- CVideoDecDDraw ----

CVideoDecDDraw::CVideoDecDDraw(QWidget* window) : CVideoDraw(window) {}
CVideoDecDDraw::~CVideoDecDDraw() { RemoveAll(); }

bool CVideoDecDDraw::DecodeAndDraw(int32_t codec, const uint8_t* data, uint32_t length, int32_t mode) {
  uint32_t releases = decoder_.Releases();
  if (decoder_.Codec() == 0) {
    decoder_.SetCodec(codec);
  } else if (decoder_.Codec() != codec) {
    decoder_.Close();
    decoder_.SetCodec(codec);
  }
  VideoPicture picture;
  bool decoded = decoder_.Decode(data, length, &picture);
  // The last picture lives only as long as the engine or buffer that holds its planes.
  if (decoder_.Releases() != releases) last_ = VideoPicture{};
  // Otherwise a refused frame or a decode error leaves the last picture as it was.
  if (!decoded) return false;
  last_ = picture;
  if (last_.valid) DrawPicture(last_, mode);
  return true;
}

bool CVideoDecDDraw::GetLastPicture(VideoPicture* out) {
  if (!last_.valid) return false;
  *out = last_;
  return true;
}

// ---- CVideoDecoder ----

CVideoDecoder::CVideoDecoder() : state_(new CVideoDecoderState) {}

CVideoDecoder::~CVideoDecoder() {
  if (codec_ != 0) Close();
  delete state_;
}

bool CVideoDecoder::SetCodec(int32_t codec) {
  if (codec_ != 0) return false;
  codec_ = codec;
  *state_ = CVideoDecoderState{};
  return true;
}

void CVideoDecoder::DeleteEngine() {
  // The engines are created and deleted only under the media lock.
  std::lock_guard<std::recursive_mutex> g(MediaLock());
  if (state_->h264 || state_->hevc || state_->jpegMade) ++releases_;
  if (state_->h264) H264Dec_Destroy(state_->h264);
  state_->h264 = nullptr;
  if (state_->hevc) IH265D_Delete(state_->hevc);
  state_->hevc = nullptr;
  if (state_->jpegMade) jpeg_destroy_decompress(&state_->jpeg);
  state_->jpegMade = false;
}

bool CVideoDecoder::Open(int32_t codec, int32_t width, int32_t height) {
  if (codec == 0) return false;
  int32_t w16 = width + 15, h16 = height + 15;
  switch (codec) {
    case kVideoCodecH264: {
      H264DecParam& p = state_->h264Param;
      p = H264DecParam{};
      p.widthMbs = static_cast<uint32_t>(w16 / 16);
      p.heightMbs = static_cast<uint32_t>(h16 / 16);
      p.refFrames = 16;
      p.flags = H264DEC_FLAG_DEINTERLACE | H264DEC_FLAG_THREADS;
      std::lock_guard<std::recursive_mutex> g(MediaLock());
      state_->h264 = H264Dec_Create(&p);
      if (!state_->h264) return false;
      codec_ = kVideoCodecH264;
      ++enginesMade_;
      return true;
    }
    case kVideoCodecMjpeg: {
      auto& s = *state_;
      std::memset(&s.jpeg, 0, sizeof(s.jpeg));
      s.jpeg.err = jpeg_std_error(&s.jpegErr.mgr);
      s.jpegErr.mgr.error_exit = JpegErrorExit;
      s.jpegErr.mgr.output_message = JpegNoMessage;
      jpeg_create_decompress(&s.jpeg);
      s.jpegMade = true;
      ++enginesMade_;
      return true;
    }
    case kVideoCodecHevc: {
      IH265D_InitParam& p = state_->hevcParam;
      p = IH265D_InitParam{};
      p.iMaxWidth = w16 & ~15;
      p.iMaxHeight = h16 & ~15;
      p.iMaxRefNum = std::clamp(state_->hevcRefs, 4, 15);
      p.eThreadType = IH265D_MULTI_THREAD;
      p.eOutputOrder = IH265D_DISPLAY_ORDER;
      p.MallocFxn = HevcMalloc;
      p.FreeFxn = HevcFree;
      p.MessageFxn = HevcMessage;
      std::lock_guard<std::recursive_mutex> g(MediaLock());
      p.iChannel = g_hevcChannels++;
      if (IH265D_Create(&state_->hevc, &p) != 0) {
        state_->hevc = nullptr;
        return false;
      }
      codec_ = kVideoCodecHevc;
      ++enginesMade_;
      return true;
    }
    default:
      // Codec 10 and unknown codecs have no engine here.
      return false;
  }
}

void CVideoDecoder::Close() {
  DeleteEngine();
  if (decodeBuffer_.capacity()) ++releases_;
  decodeBuffer_.clear();
  decodeBuffer_.shrink_to_fit();
  *state_ = CVideoDecoderState{};
  codec_ = 0;
}

bool CVideoDecoder::Decode(const uint8_t* data, uint32_t length, VideoPicture* picture) {
  picture->valid = 0;
  if (!data && length) return false;
  switch (codec_) {
    case kVideoCodecH264:
      return DecodeH264(data, length, picture);
    case kVideoCodecMjpeg:
      return DecodeMjpeg(data, length, picture);
    case kVideoCodecHevc:
      return DecodeHevc(data, length, picture);
    default:
      return false;
  }
}

bool CVideoDecoder::DecodeH264(const uint8_t* data, uint32_t length, VideoPicture* picture) {
  if (length < 5 || std::memcmp(data, kStartCode, 4) != 0) return false;
  picture->format = kPictureI420;
  auto& s = *state_;
  if ((data[4] & 0x1F) == 7) {
    int32_t w = 0, h = 0;
    if (H264SpsPictureSize(data, length, &w, &h)) {
      if (!s.h264 || static_cast<uint32_t>((w + 15) / 16) != s.h264Param.widthMbs ||
          static_cast<uint32_t>((h + 15) / 16) != s.h264Param.heightMbs) {
        DeleteEngine();
        if (!Open(kVideoCodecH264, (w + 15) & ~15, (h + 15) & ~15)) {
          s.h264Param = H264DecParam{};
          return false;
        }
      }
    }
  }
  if (!s.h264) return false;
  H264DecFrame frame{};
  int rc = H264Dec_Decode(s.h264, data, length, 0, 0, &frame, length == 0 ? 1 : 0);
  for (;;) {
    if (rc == H264DEC_NEED_INPUT || rc == H264DEC_NO_MORE) return true;
    if (rc != H264DEC_PICTURE) return false;
    if (!frame.u || !frame.v) return true;
    int32_t cl = std::clamp(frame.cropLeft & ~1, 0, frame.width);
    int32_t ct = std::clamp(frame.cropTop & ~1, 0, frame.height);
    int32_t w = frame.width - cl - std::max(frame.cropRight, 0);
    int32_t h = frame.height - ct - std::max(frame.cropBottom, 0);
    if (w > 0 && h > 0) {
      picture->y = frame.y + static_cast<ptrdiff_t>(ct) * frame.lumaStride + cl;
      picture->u = frame.u + static_cast<ptrdiff_t>(ct / 2) * frame.chromaStride + cl / 2;
      picture->v = frame.v + static_cast<ptrdiff_t>(ct / 2) * frame.chromaStride + cl / 2;
      picture->width = w;
      picture->height = h;
      picture->lumaStride = frame.lumaStride;
      picture->chromaStride = frame.chromaStride;
      picture->valid = 1;
    }
    rc = H264Dec_Decode(s.h264, nullptr, 0, 0, 0, &frame, 0);
  }
}

bool CVideoDecoder::DecodeHevc(const uint8_t* data, uint32_t length, VideoPicture* picture) {
  if (length < 6 || std::memcmp(data, kStartCode, 4) != 0) return false;
  // A packet that starts with parameter sets (or other non-picture units) is fed unit by unit.
  if (((data[4] >> 1) & 0x3F) < 32) return DecodeHevcNal(data, length, picture);
  uint32_t at = 0;
  while (at < length) {
    const uint8_t* piece = data + at;
    uint32_t rest = length - at;
    uint32_t type = rest > 4 ? (piece[4] >> 1) & 0x3F : 63;
    if (type < 32) return DecodeHevcNal(piece, rest, picture);
    const uint8_t* next = rest > 4 ? FindBytePattern(rest - 4, piece + 4, kStartCode, 4) : nullptr;
    uint32_t pieceLen = next ? static_cast<uint32_t>(next - piece) : rest;
    DecodeHevcNal(piece, pieceLen, picture);  // a parameter set before any decoder is kept, not refused
    at += pieceLen;
  }
  return true;
}

bool CVideoDecoder::DecodeHevcNal(const uint8_t* data, uint32_t length, VideoPicture* picture) {
  auto& s = *state_;
  if (length < 6) return false;
  uint32_t t = (data[4] >> 1) & 0x3F;
  if (t == 32) s.vps.assign(data, data + length);
  if (t == 33) {
    int32_t w = 0, h = 0, refs = 0;
    if (HevcSpsPictureSize(length, data, &w, &h, &refs)) {
      int32_t refsNeeded = std::clamp(refs, 4, 15);
      if (!s.hevc || ((w + 15) & ~15) != s.hevcParam.iMaxWidth ||
          ((h + 15) & ~15) != s.hevcParam.iMaxHeight || refsNeeded > s.hevcParam.iMaxRefNum) {
        DeleteEngine();
        s.hevcRefs = refsNeeded;
        if (!Open(kVideoCodecHevc, w, h)) {
          s.hevcParam = IH265D_InitParam{};
          return false;
        }
      }
      if (!s.vps.empty() && s.hevc) {
        IH265D_InArgs in{s.vps.data(), static_cast<uint32_t>(s.vps.size()), 0, IH265D_DECODE};
        IH265D_OutArgs out{};
        IH265D_Decode(s.hevc, &in, &out);
        s.vps.clear();
      }
    }
  }
  if (!s.hevc) return false;
  IH265D_InArgs in{data, length, 0, IH265D_DECODE};
  IH265D_OutArgs out{};
  int32_t rc = IH265D_Decode(s.hevc, &in, &out);
  if (rc == 0 && out.pPlaneY && out.pPlaneU && out.pPlaneV && out.iPicWidth > 0 && out.iPicHeight > 0) {
    picture->y = out.pPlaneY;
    picture->u = out.pPlaneU;
    picture->v = out.pPlaneV;
    picture->width = out.iPicWidth;
    picture->height = out.iPicHeight;
    picture->lumaStride = out.iLumaStride;
    picture->chromaStride = out.iChromaStride;
    picture->valid = 1;
  } else {
    picture->valid = 0;
  }
  picture->format = kPictureI420;
  return rc >= 0;
}

bool CVideoDecoder::DecodeMjpeg(const uint8_t* data, uint32_t length, VideoPicture* picture) {
  if (length < 4 || data[0] != 0xFF || data[1] != 0xD8 || data[length - 2] != 0xFF ||
      data[length - 1] != 0xD9)
    return false;
  auto& s = *state_;
  int32_t w = 0, h = 0;
  JpegGetSofSize(data, length, &w, &h);
  if (!s.jpegMade || w != s.jpegWidth || h != s.jpegHeight) {
    decodeBuffer_.clear();
    DeleteEngine();
    Open(kVideoCodecMjpeg, w, h);
    s.jpegWidth = w;
    s.jpegHeight = h;
  }
  jpeg_decompress_struct* cinfo = &s.jpeg;
  // Everything that longjmp may skip is plain data.
  if (setjmp(s.jpegErr.jump)) {
    jpeg_abort_decompress(cinfo);
    return false;
  }
  jpeg_mem_src(cinfo, data, length);
  if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_abort_decompress(cinfo);
    return false;
  }
  if (cinfo->image_width > static_cast<JDIMENSION>(kMaxSide) ||
      cinfo->image_height > static_cast<JDIMENSION>(kMaxSide)) {
    jpeg_abort_decompress(cinfo);
    return false;
  }
  jpeg_start_decompress(cinfo);
  if (cinfo->out_color_space != JCS_RGB) {
    jpeg_abort_decompress(cinfo);
    return true;
  }
  int comps = cinfo->output_components;
  int32_t format = comps == 4 ? kPictureRgb32 : comps == 3 ? kPictureRgb24 : kPictureRgb565;
  size_t rowBytes = static_cast<size_t>(cinfo->output_width) * comps;
  size_t bytes = rowBytes * cinfo->output_height;
  if (bytes > decodeBuffer_.capacity()) ++releases_;  // the buffer moves
  decodeBuffer_.resize(bytes);
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = decodeBuffer_.data() + rowBytes * cinfo->output_scanline;
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  picture->format = format;
  picture->y = decodeBuffer_.data();
  picture->u = picture->v = nullptr;
  picture->width = static_cast<int32_t>(cinfo->output_width);
  picture->height = static_cast<int32_t>(cinfo->output_height);
  picture->lumaStride = static_cast<int32_t>(rowBytes);
  picture->chromaStride = 0;
  picture->valid = 1;
  return true;
}

// ---- parsers ----

const uint8_t* FindBytePattern(uint32_t length, const uint8_t* data, const uint8_t* pattern,
                               uint32_t patternLength) {
  if (!data || !pattern || patternLength == 0 || length < patternLength) return nullptr;
  for (uint32_t i = 0; i + patternLength <= length; ++i)
    if (data[i] == pattern[0] && std::memcmp(data + i, pattern, patternLength) == 0) return data + i;
  return nullptr;
}


bool H264SpsPictureSize(const uint8_t* nal, uint32_t length, int32_t* width, int32_t* height, bool withCrop) {
  if (!nal || length < 9 || (nal[4] & 0x1F) != 7) return false;
  uint32_t extent = 4 + NalExtent(nal + 4, length - 4);
  std::vector<uint8_t> rbsp = Unescape(nal + 5, extent - 5);
  BitReader br(rbsp.data(), rbsp.size());
  uint32_t profile = br.Bits(8);
  br.Skip(16);  // constraint flags, level
  br.Ue();      // seq_parameter_set_id
  uint32_t chroma = 1;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
      profile == 83 || profile == 86 || profile == 118 || profile == 128 || profile == 138 ||
      profile == 139 || profile == 134 || profile == 135 || profile == 144) {
    chroma = br.Ue();
    if (chroma == 3) br.Bit();
    br.Ue();
    br.Ue();
    br.Bit();
    if (br.Bit()) {
      for (int i = 0; i < (chroma != 3 ? 8 : 12) && !br.failed; ++i)
        if (br.Bit() && !bits::SkipScalingList(&br, i < 6 ? 16 : 64)) return false;
    }
  }
  br.Ue();  // log2_max_frame_num_minus4
  uint32_t pocType = br.Ue();
  if (pocType == 0) {
    br.Ue();
  } else if (pocType == 1) {
    br.Bit();
    br.Se();
    br.Se();
    uint32_t cycle = br.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && !br.failed; ++i) br.Se();
  }
  br.Ue();   // max_num_ref_frames
  br.Bit();  // gaps
  uint32_t wMbs = br.Ue() + 1;
  uint32_t hMaps = br.Ue() + 1;
  uint32_t frameMbsOnly = br.Bit();
  if (br.failed || wMbs > 1024 || hMaps > 1024) return false;
  int32_t w = static_cast<int32_t>(wMbs * 16);
  int32_t h = static_cast<int32_t>(hMaps * 16 * (2 - frameMbsOnly));
  if (withCrop) {
    if (!frameMbsOnly) br.Bit();
    br.Bit();  // direct_8x8_inference
    if (br.Bit()) {
      uint32_t l = br.Ue(), r = br.Ue(), t = br.Ue(), b = br.Ue();
      int32_t cx = chroma == 0 || chroma == 3 ? 1 : 2;
      int32_t cy = (chroma == 1 ? 2 : 1) * static_cast<int32_t>(2 - frameMbsOnly);
      int64_t cw = w - static_cast<int64_t>(cx) * (int64_t{l} + r);
      int64_t ch = h - static_cast<int64_t>(cy) * (int64_t{t} + b);
      if (br.failed || cw <= 0 || ch <= 0) return false;
      w = static_cast<int32_t>(cw);
      h = static_cast<int32_t>(ch);
    }
    if (br.failed) return false;
  }
  *width = w;
  *height = h;
  return true;
}

bool HevcSpsPictureSize(uint32_t length, const uint8_t* nal, int32_t* width, int32_t* height,
                        int32_t* maxDecPics) {
  if (!nal || length < 7 || (nal[4] & 0x7E) != 0x42) return false;
  std::vector<uint8_t> rbsp = Unescape(nal + 6, length - 6);
  BitReader br(rbsp.data(), rbsp.size());
  br.Bits(4);
  uint32_t subLayers = br.Bits(3);
  br.Bit();
  // profile_tier_level: general part, then the sub-layers.
  br.Skip(8 + 32 + 48 + 8);
  bits::SkipHevcSubLayers(&br, subLayers);
  br.Ue();  // sps_seq_parameter_set_id
  uint32_t chroma = br.Ue();
  if (chroma == 3) br.Bit();
  uint32_t w = br.Ue(), h = br.Ue();
  if (br.failed || w == 0 || h == 0 || w > static_cast<uint32_t>(kMaxSide) ||
      h > static_cast<uint32_t>(kMaxSide))
    return false;
  *width = static_cast<int32_t>(w);
  *height = static_cast<int32_t>(h);
  if (maxDecPics) {
    *maxDecPics = 0;
    if (br.Bit()) {
      for (int i = 0; i < 4; ++i) br.Ue();
    }
    br.Ue();  // bit depths
    br.Ue();
    br.Ue();  // log2_max_pic_order_cnt_lsb_minus4
    bool allLayers = br.Bit();
    uint32_t most = 0;
    for (uint32_t i = allLayers ? 0 : subLayers; i <= subLayers; ++i) {
      most = std::max(most, br.Ue() + 1);
      br.Ue();
      br.Ue();
    }
    if (!br.failed && most <= 16) *maxDecPics = static_cast<int32_t>(most);
  }
  return true;
}

void JpegGetSofSize(const uint8_t* data, uint32_t length, int32_t* width, int32_t* height) {
  *width = 0;
  *height = 0;
  if (!data || length < 4 || data[0] != 0xFF || data[1] != 0xD8) return;
  uint32_t at = 2;
  while (at + 4 <= length && data[at] == 0xFF) {
    uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    uint32_t segment = uint32_t{data[at + 2]} << 8 | data[at + 3];
    if ((marker == 0xC0 || marker == 0xC1 || marker == 0xC2) && at + 9 <= length) {
      *height = data[at + 5] << 8 | data[at + 6];
      *width = data[at + 7] << 8 | data[at + 8];
      return;
    }
    if (segment < 2) return;
    at += 2 + segment;
  }
}

void PackI420(uint8_t* out, int32_t width, int32_t height, const uint8_t* y, int32_t lumaStride,
              const uint8_t* u, const uint8_t* v, int32_t chromaStride) {
  int32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
  for (int32_t r = 0; r < height; ++r)
    std::memcpy(out + static_cast<size_t>(r) * width, y + static_cast<ptrdiff_t>(r) * lumaStride, width);
  out += static_cast<size_t>(width) * height;
  for (int32_t r = 0; r < ch; ++r)
    std::memcpy(out + static_cast<size_t>(r) * cw, u + static_cast<ptrdiff_t>(r) * chromaStride, cw);
  out += static_cast<size_t>(cw) * ch;
  for (int32_t r = 0; r < ch; ++r)
    std::memcpy(out + static_cast<size_t>(r) * cw, v + static_cast<ptrdiff_t>(r) * chromaStride, cw);
}

bool JpegSaveI420(FILE* file, const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t width,
                  int32_t height, int32_t quality) {
  int32_t w = width & ~1;
  if (!file || !y || !u || !v || w <= 0 || height <= 0 || w > 65500 || height > 65500) return false;
  int32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
  jpeg_compress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.output_message = JpegNoMessage;
  jpeg_create_compress(&cinfo);
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = static_cast<JDIMENSION>(w);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, JCS_YCbCr);
  cinfo.raw_data_in = TRUE;
  cinfo.comp_info[0].h_samp_factor = 2;
  cinfo.comp_info[0].v_samp_factor = 2;
  cinfo.comp_info[1].h_samp_factor = cinfo.comp_info[1].v_samp_factor = 1;
  cinfo.comp_info[2].h_samp_factor = cinfo.comp_info[2].v_samp_factor = 1;
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  // Bands of 16 luma and 8 chroma rows; rows past the bottom repeat the last one.
  JSAMPROW yRows[16], uRows[8], vRows[8];
  JSAMPARRAY planes[3] = {yRows, uRows, vRows};
  for (int32_t top = 0; top < height; top += 16) {
    for (int i = 0; i < 16; ++i)
      yRows[i] = const_cast<uint8_t*>(y) + static_cast<size_t>(std::min(top + i, height - 1)) * width;
    for (int i = 0; i < 8; ++i) {
      size_t row = static_cast<size_t>(std::min(top / 2 + i, ch - 1)) * cw;
      uRows[i] = const_cast<uint8_t*>(u) + row;
      vRows[i] = const_cast<uint8_t*>(v) + row;
    }
    jpeg_write_raw_data(&cinfo, planes, 16);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return fflush(file) == 0 && !ferror(file);
}
