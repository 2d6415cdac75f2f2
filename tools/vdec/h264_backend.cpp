// The H.264 decoder behind vdec, fed the way the video decode front feeds it:
// one access unit per call, beginning with a 4-byte start code, then calls
// without data until the decoder wants more; drained at the end.
#include <cstring>
#include <string>
#include <vector>

#include "codecs/h264/h264dec.h"
#include "tools/vdec/backend.h"

namespace vdec {
namespace {

struct NalRange {
  size_t begin;  // first byte after the start code
  size_t end;
};

std::vector<NalRange> SplitNals(const uint8_t* data, size_t size) {
  std::vector<NalRange> nals;
  size_t i = 0, start = SIZE_MAX;
  auto push = [&](size_t end) {
    while (end > start && data[end - 1] == 0) --end;  // trailing zeros and a 4-byte start code's first byte
    nals.push_back({start, end});
  };
  while ((i = FindStartCode(data, i, size)) < size) {
    if (start != SIZE_MAX) push(i);
    i += 3;
    start = i;
  }
  if (start != SIZE_MAX && start < size) push(size);
  return nals;
}

// Reads the fields of a sequence parameter set up to its size.
class SpsReader {
 public:
  SpsReader(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (zeros_ >= 2 && p[i] == 3) {  // emulation prevention
        zeros_ = 0;
        continue;
      }
      zeros_ = p[i] == 0 ? zeros_ + 1 : 0;
      rbsp_.push_back(p[i]);
    }
  }
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      size_t byte = pos_ >> 3;
      uint32_t bit = byte < rbsp_.size() ? (rbsp_[byte] >> (7 - (pos_ & 7))) & 1 : 0;
      v = (v << 1) | bit;
      ++pos_;
    }
    return v;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (zeros < 32 && Bits(1) == 0) ++zeros;
    if (zeros >= 32) return UINT32_MAX;
    return ((1u << zeros) - 1) + (zeros ? Bits(zeros) : 0);
  }
  bool Overrun() const { return pos_ > rbsp_.size() * 8; }

 private:
  std::vector<uint8_t> rbsp_;
  size_t pos_ = 8;  // after the NAL header
  int zeros_ = 0;
};

// Picture size in macroblocks from an SPS unit (header byte first).
bool SpsSizeInMbs(const uint8_t* p, size_t n, uint32_t& widthMbs, uint32_t& heightMbs) {
  if (n < 4 || (p[0] & 0x1F) != 7) return false;
  SpsReader r(p, n);
  uint32_t profile = r.Bits(8);
  r.Bits(16);
  r.Ue();
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
      profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
      profile == 135) {
    uint32_t chroma = r.Ue();
    if (chroma == 3) r.Bits(1);
    r.Ue();
    r.Ue();
    r.Bits(1);
    if (r.Bits(1)) {
      int lists = chroma == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        if (!r.Bits(1)) continue;
        int size = i < 6 ? 16 : 64, last = 8, next = 8;
        for (int j = 0; j < size; ++j) {
          if (next) {
            uint32_t k = r.Ue();
            int32_t delta = (k & 1) ? static_cast<int32_t>((k >> 1) + 1) : -static_cast<int32_t>(k >> 1);
            next = static_cast<int>(((static_cast<int64_t>(last) + delta) % 256 + 256) % 256);
          }
          last = next ? next : last;
        }
      }
    }
  }
  r.Ue();  // log2_max_frame_num_minus4
  uint32_t pocType = r.Ue();
  if (pocType == 0) {
    r.Ue();
  } else if (pocType == 1) {
    r.Bits(1);
    r.Ue();
    r.Ue();
    uint32_t cycle = r.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) r.Ue();
  }
  r.Ue();  // max_num_ref_frames
  r.Bits(1);
  uint32_t w = r.Ue(), h = r.Ue();
  uint32_t frameMbsOnly = r.Bits(1);
  if (r.Overrun() || w >= 1024 || h >= 1024) return false;
  widthMbs = w + 1;
  heightMbs = (h + 1) * (2 - frameMbsOnly);
  return true;
}

// Units that are dropped without harm to the pictures around them.
bool Harmless(int code) { return code == H264DEC_ERR_NAL_TYPE || code == H264DEC_ERR_REDUNDANT; }

std::string ErrorText(int code) {
  switch (code) {
    case H264DEC_ERR_NOT_SUPPORTED:
      return "SP and SI slices are not supported";
    case H264DEC_ERR_LOSSLESS:
      return "lossless (transform bypass) streams are not supported";
    case H264DEC_ERR_NO_PARAMETER_SETS:
      return "slice before its parameter sets";
    case H264DEC_ERR_SLICE_QP:
      return "slice QP out of range";
    case 0x20000007:
      return "only 8-bit 4:2:0 video is supported";
    case 0x20000009:
      return "profile not supported";
    case 0x2000000b:
      return "MBAFF is not supported";
    case 0x2000000c:
      return "picture size not supported";
    case 0x2000001a:
      return "slice groups are not supported";
    default:
      break;
  }
  if ((code & 0xF0000000) == 0x40000000) return "broken slice data";
  if ((code & 0xF0000000) == 0x30000000) return "broken slice header or picture";
  if ((code & 0xF0000000) == 0x20000000) return "broken parameter set";
  return "broken NAL unit";
}

class H264Backend : public Backend {
 public:
  explicit H264Backend(const Options& options) : options_(options) {}
  ~H264Backend() override { H264Dec_Destroy(ctx_); }

  int Run(const uint8_t* data, size_t size, const PictureSink& sink, std::string& error) override {
    std::vector<NalRange> nals = SplitNals(data, size);
    std::vector<uint8_t> packet;
    bool prevVcl = false;
    for (size_t i = 0; i < nals.size();) {
      // One access unit: up to the next unit that starts another.
      size_t j = i;
      packet.clear();
      for (; j < nals.size(); ++j) {
        const NalRange& n = nals[j];
        if (n.begin >= n.end) continue;
        int type = data[n.begin] & 0x1F;
        bool vcl = type == 1 || type == 5 || type == 20;
        if (j > i && prevVcl) {
          bool firstMb = n.begin + 1 < n.end && (data[n.begin + 1] & 0x80);
          if ((vcl && firstMb) || type == 6 || type == 7 || type == 8 || type == 9 || type == 14 || type == 15) break;
        }
        if (type == 9 && j > i) break;
        static const uint8_t kStart[4] = {0, 0, 0, 1};
        packet.insert(packet.end(), kStart, kStart + 4);
        packet.insert(packet.end(), data + n.begin, data + n.end);
        prevVcl = vcl;
      }
      if (j == i) j = i + 1;
      i = j;
      if (packet.empty()) continue;
      int rc = DecodePacket(packet, sink, error);
      if (rc != 0 || stopped_) return rc;
    }
    if (ctx_) {
      int rc = Drain(sink, error);
      // Broken slice data in the last picture (a cut file) leaves the pictures before
      // it good: a warning, as the HEVC decoder gives them without one.
      if (rc != 0 && (rc & 0xF0000000) == 0x40000000) {
        error = "the last picture is broken, the stream may be cut (" + error + ")";
        return 0;
      }
      if (rc != 0) return rc;
    }
    return 0;
  }

 private:
  int DecodePacket(const std::vector<uint8_t>& packet, const PictureSink& sink, std::string& error) {
    // The first SPS of the access unit (the front looks only at a leading
    // one; streams with access unit delimiters put it second).
    uint32_t w = 0, h = 0;
    size_t sps = 0;
    while (sps < packet.size() && (packet[sps + 4] & 0x1F) != 7) sps = NextUnit(packet, sps);
    if (sps < packet.size()) {
      size_t end = NextUnit(packet, sps);
      if (SpsSizeInMbs(packet.data() + sps + 4, end - sps - 4, w, h) && (w != widthMbs_ || h != heightMbs_)) {
        if (ctx_) {
          int rc = Drain(sink, error);
          if (rc != 0 || stopped_) return rc;
          H264Dec_Destroy(ctx_);
          ctx_ = nullptr;
        }
        H264DecParam param{};
        param.widthMbs = w;
        param.heightMbs = h;
        param.refFrames = 16;
        param.flags = H264DEC_FLAG_DISPLAY_ORDER | (options_.threads ? uint32_t{H264DEC_FLAG_THREADS} : 0u) |
                      (options_.deinterlace ? uint32_t{H264DEC_FLAG_DEINTERLACE} : 0u);
        ctx_ = H264Dec_Create(&param);
        if (!ctx_) {
          error = "cannot create the decoder";
          return -1;
        }
        widthMbs_ = w;
        heightMbs_ = h;
      }
    }
    if (!ctx_) return 0;  // nothing can be decoded before the first sequence parameter set
    H264DecFrame frame;
    int rc = H264Dec_Decode(ctx_, packet.data(), static_cast<uint32_t>(packet.size()), 0, 0, &frame, 0);
    while (rc == H264DEC_PICTURE) {
      if (!Emit(frame, sink)) return 0;
      rc = H264Dec_Decode(ctx_, nullptr, 0, 0, 0, &frame, 0);
    }
    if (rc != H264DEC_NEED_INPUT) {
      error = "bad argument";
      return rc;
    }
    return CheckError(error);
  }

  // Offset of the unit after the one at `at` (units start with 00 00 00 01).
  static size_t NextUnit(const std::vector<uint8_t>& packet, size_t at) {
    for (size_t k = at + 5; k + 4 <= packet.size(); ++k)
      if (packet[k] == 0 && packet[k + 1] == 0 && packet[k + 2] == 0 && packet[k + 3] == 1) return k;
    return packet.size();
  }

  int Drain(const PictureSink& sink, std::string& error) {
    H264DecFrame frame;
    int rc;
    while ((rc = H264Dec_Decode(ctx_, nullptr, 0, 0, 0, &frame, 1)) == H264DEC_PICTURE)
      if (!Emit(frame, sink)) return 0;
    if (rc != H264DEC_NO_MORE) {
      error = "bad argument";
      return rc;
    }
    return CheckError(error);
  }

  int CheckError(std::string& error) {
    int code = H264Dec_GetError(ctx_);
    if (code == 0 || Harmless(code)) return 0;
    error = ErrorText(code);
    return code;
  }

  bool Emit(const H264DecFrame& f, const PictureSink& sink) {
    if (!f.u || !f.v) return true;
    Picture p;
    p.plane[0] = f.y + static_cast<ptrdiff_t>(f.cropTop) * f.lumaStride + f.cropLeft;
    p.plane[1] = f.u + static_cast<ptrdiff_t>(f.cropTop / 2) * f.chromaStride + f.cropLeft / 2;
    p.plane[2] = f.v + static_cast<ptrdiff_t>(f.cropTop / 2) * f.chromaStride + f.cropLeft / 2;
    p.stride[0] = f.lumaStride;
    p.stride[1] = p.stride[2] = f.chromaStride;
    p.width = f.width - f.cropLeft - f.cropRight;
    p.height = f.height - f.cropTop - f.cropBottom;
    if (!sink(p)) stopped_ = true;
    return !stopped_;
  }

  Options options_;
  H264DecContext* ctx_ = nullptr;
  uint32_t widthMbs_ = 0;
  uint32_t heightMbs_ = 0;
  bool stopped_ = false;
};

}  // namespace

std::unique_ptr<Backend> MakeH264Backend(const Options& options) { return std::make_unique<H264Backend>(options); }

}  // namespace vdec
