// vdec's HEVC backend: cuts the stream into access units and feeds them the
// way the video decode front does (parameter sets of a leading VPS piece by
// piece, the decoder made at the first SPS and again when the size changes),
// then drains.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/hevc/ih265d.h"
#include "tools/vdec/backend.h"

namespace vdec {
namespace {

thread_local std::string g_lastError;

void* Alloc(int32_t, uint32_t size) { return std::malloc(size); }
void Free(int32_t, void* p) { std::free(p); }
void Message(int32_t, int32_t level, const char* fmt, ...) {
  if (level != 0) return;
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  g_lastError = buf;
  while (!g_lastError.empty() && g_lastError.back() == '\n') g_lastError.pop_back();
}

// A decoder result in the words vdec uses for H.264 too, with the decoder's
// own message after it.
std::string ErrorText(int32_t code, const std::string& message) {
  std::string text;
  auto has = [&](const char* s) { return message.find(s) != std::string::npos; };
  if (has("chroma_format_idc") || has("bit_depth")) text = "only 8-bit 4:2:0 video is supported";
  else if (has("PicWidthInSamplesY") || has("PicHeightInSamplesY")) text = "picture size not supported";
  else if (has("is not support")) text = "NAL unit type not supported";
  else if (code == IH265D_ERR_VPS || code == IH265D_ERR_SPS || code == IH265D_ERR_PPS) text = "broken parameter set";
  else if (code == IH265D_ERR_SLICEHEADER) text = "broken slice header or picture";
  else if (code == IH265D_ERR_SLICEDATA) text = "broken slice data";
  else if (code == IH265D_ERR_NAL) text = "broken NAL unit";
  else text = "decoder failure";
  std::string detail = message;
  if (detail.rfind("IH265D_Decode : ", 0) == 0) detail.erase(0, 16);
  return detail.empty() ? text : text + " (" + detail + ")";
}

struct Nal {
  size_t start;  // first start-code byte
  size_t payload;
  int type;
};

std::vector<Nal> SplitNals(const uint8_t* d, size_t n) {
  std::vector<Nal> out;
  size_t i = 0;
  while ((i = FindStartCode(d, i, n)) < n) {
    size_t start = i > 0 && d[i - 1] == 0 ? i - 1 : i;
    size_t payload = i + 3;
    int type = payload < n ? (d[payload] >> 1) & 0x3F : -1;
    out.push_back({start, payload, type});
    i += 3;
  }
  return out;
}

// Bit reader over an RBSP copy, enough for the head of an SPS.
struct Bits {
  std::vector<uint8_t> b;
  size_t pos = 0;
  uint32_t U(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos) v = (v << 1) | (pos / 8 < b.size() ? (b[pos / 8] >> (7 - pos % 8)) & 1 : 0);
    return v;
  }
  uint32_t Ue() {
    int k = 0;
    while (U(1) == 0 && k < 32) ++k;
    return k >= 32 ? 0xFFFFFFFFu : (1u << k) - 1 + U(k);
  }
};

bool SpsPictureSize(const uint8_t* p, size_t n, int* w, int* h) {
  Bits br;
  for (size_t i = 2, zeros = 0; i < n; ++i) {
    if (zeros >= 2 && p[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = p[i] == 0 ? zeros + 1 : 0;
    br.b.push_back(p[i]);
  }
  br.U(4);
  int maxSub = static_cast<int>(br.U(3));
  br.U(1);
  br.U(8);
  br.pos += 88;
  int prof[8] = {}, lev[8] = {};
  for (int i = 0; i < maxSub; ++i) {
    prof[i] = static_cast<int>(br.U(1));
    lev[i] = static_cast<int>(br.U(1));
  }
  if (maxSub > 0) br.pos += 2 * (8 - maxSub);
  for (int i = 0; i < maxSub; ++i) br.pos += (prof[i] ? 88 : 0) + (lev[i] ? 8 : 0);
  br.Ue();
  if (br.Ue() == 3) br.U(1);
  uint32_t ww = br.Ue(), hh = br.Ue();
  if (ww == 0 || hh == 0 || ww > 8192 || hh > 8192) return false;
  *w = static_cast<int>(ww);
  *h = static_cast<int>(hh);
  return true;
}

class HevcBackend : public Backend {
 public:
  explicit HevcBackend(const Options& o) : threads_(o.threads) {}
  ~HevcBackend() override { Close(); }

  int Run(const uint8_t* data, size_t size, const PictureSink& sink, std::string& error) override {
    sink_ = &sink;
    std::vector<Nal> nals = SplitNals(data, size);
    // access units: a new one starts at a parameter set, prefix SEI or AUD that
    // follows a slice, or at a slice that begins a picture
    size_t auStart = 0;
    bool haveVcl = false;
    for (size_t k = 0; k < nals.size(); ++k) {
      const Nal& nal = nals[k];
      bool vcl = nal.type >= 0 && nal.type < 32;
      bool firstSlice = vcl && nal.payload + 2 < size && (data[nal.payload + 2] & 0x80);
      bool opener = (nal.type >= 32 && nal.type <= 35) || nal.type == 39 || (nal.type >= 41 && nal.type <= 44) ||
                    (nal.type >= 48 && nal.type <= 55);
      if (haveVcl && (firstSlice || opener)) {
        int rc = DecodeAccessUnit(data + nals[auStart].start, nal.start - nals[auStart].start, error);
        if (rc || stop_) return rc;
        auStart = k;
        haveVcl = false;
      }
      haveVcl |= vcl;
    }
    if (!nals.empty()) {
      int rc = DecodeAccessUnit(data + nals[auStart].start, size - nals[auStart].start, error);
      if (rc || stop_) return rc;
    }
    return Drain(error);
  }

 private:
  int DecodeAccessUnit(const uint8_t* au, size_t n, std::string& error) {
    if (n < 5 || au[0] || au[1] || au[2] || au[3] != 1) return 0;  // the front refuses these
    if (((au[4] >> 1) & 0x3F) != 32) return DecodeNal(au, n, error);
    // split at 4-byte start codes; parameter and other non-VCL pieces go one by one
    size_t pos = 0;
    while (pos < n) {
      size_t next = n;
      for (size_t i = pos + 4; i + 4 <= n; ++i)
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 0 && au[i + 3] == 1) {
          next = i;
          break;
        }
      int type = pos + 4 < n ? (au[pos + 4] >> 1) & 0x3F : 0;
      if (type < 32) return DecodeNal(au + pos, n - pos, error);
      int rc = DecodeNal(au + pos, next - pos, error);
      if (rc) return rc;
      pos = next;
    }
    return 0;
  }

  int DecodeNal(const uint8_t* p, size_t n, std::string& error) {
    int type = n > 4 ? (p[4] >> 1) & 0x3F : -1;
    if (type == 32) vps_.assign(p, p + n);
    if (type == 33) {
      int w, h;
      if (SpsPictureSize(p + 4, n - 4, &w, &h)) {
        int mw = (w + 15) & ~15, mh = (h + 15) & ~15;
        if (!handle_ || mw != maxW_ || mh != maxH_) {
          if (handle_) {
            int rc = Drain(error);
            if (rc) return rc;
          }
          Close();
          if (int rc = Open(mw, mh, error)) return rc;
        }
        if (!vps_.empty()) {
          std::vector<uint8_t> v;
          v.swap(vps_);
          if (int rc = Feed(v.data(), v.size(), error)) return rc;
        }
      }
    }
    if (!handle_) return 0;
    return Feed(p, n, error);
  }

  int Open(int w, int h, std::string& error) {
    IH265D_InitParam init{};
    init.iChannel = channel_++;
    init.iMaxWidth = w;
    init.iMaxHeight = h;
    init.iMaxRefNum = 15;  // every valid Main-profile stream
    init.eThreadType = threads_ ? 1 : 0;
    init.eOutputOrder = 1;
    init.MallocFxn = Alloc;
    init.FreeFxn = Free;
    init.MessageFxn = Message;
    int32_t rc = IH265D_Create(&handle_, &init);
    if (rc) {
      handle_ = nullptr;
      error = g_lastError.empty() ? "IH265D_Create failed" : g_lastError;
      return rc;
    }
    maxW_ = w;
    maxH_ = h;
    return 0;
  }

  void Close() {
    if (handle_) IH265D_Delete(handle_);
    handle_ = nullptr;
  }

  void Emit(const IH265D_OutArgs& out) {
    if (stop_) return;
    Picture pic{{out.pPlaneY, out.pPlaneU, out.pPlaneV},
                {out.iLumaStride, out.iChromaStride, out.iChromaStride},
                out.iPicWidth,
                out.iPicHeight};
    if (!(*sink_)(pic)) stop_ = true;
  }

  int Feed(const uint8_t* p, size_t n, std::string& error) {
    size_t done = 0;
    for (;;) {
      IH265D_InArgs in{p + done, static_cast<uint32_t>(n - done), 0, 0};
      IH265D_OutArgs out{};
      g_lastError.clear();
      int32_t rc = IH265D_Decode(handle_, &in, &out);
      if (rc != 0 && rc != 1) {
        error = ErrorText(rc, g_lastError);
        return rc;
      }
      done += out.iBytesTaken;
      if (rc == 1) return 0;
      // a picture came out; more units may be held, so call again with the
      // rest (possibly nothing) until the decoder asks for more input
      if (out.DecodeStatus == 0) Emit(out);
      if (stop_) return 0;
    }
  }

  int Drain(std::string& error) {
    if (!handle_) return 0;
    for (int guard = 0; guard < 1000 && !stop_; ++guard) {
      IH265D_InArgs in{nullptr, 0, 0, 1};
      IH265D_OutArgs out{};
      g_lastError.clear();
      int32_t rc = IH265D_Decode(handle_, &in, &out);
      if (rc != 0) {
        error = ErrorText(rc, g_lastError);
        return rc;
      }
      if (out.DecodeStatus == 2) break;
      if (out.DecodeStatus == 0) Emit(out);
    }
    return 0;
  }

  bool threads_;
  IH265D_HANDLE handle_ = nullptr;
  int maxW_ = 0, maxH_ = 0;
  int32_t channel_ = 0;
  std::vector<uint8_t> vps_;
  const PictureSink* sink_ = nullptr;
  bool stop_ = false;
};

}  // namespace

std::unique_ptr<Backend> MakeHevcBackend(const Options& options) { return std::make_unique<HevcBackend>(options); }

}  // namespace vdec
