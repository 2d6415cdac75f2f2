#include "tests/codecs/hevc/hash_check.h"

#include <openssl/evp.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/hevc/hevc_internal.h"

namespace hevc_test {
namespace {

void* Alloc(int32_t, uint32_t n) { return std::malloc(n); }
void Free(int32_t, void* p) { std::free(p); }
void Quiet(int32_t, int32_t, const char*, ...) {}

void Md5(const hevc::HevcDecoder* dec, int c, uint8_t out[16]) {
  const hevc::HevcPicture* pic = dec->pCurPic;
  const int w = c ? dec->stPic.iWidthC : dec->stPic.iWidth;
  const int h = c ? dec->stPic.iHeightC : dec->stPic.iHeight;
  const int stride = c ? dec->stPic.iStrideC : dec->stPic.iStride;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  for (int y = 0; y < h; ++y) EVP_DigestUpdate(ctx, pic->apucPlane[c] + static_cast<ptrdiff_t>(y) * stride, w);
  unsigned len = 16;
  EVP_DigestFinal_ex(ctx, out, &len);
  EVP_MD_CTX_free(ctx);
}

// The MD5 planes of a decoded-picture-hash SEI (suffix unit), or false.
bool ParseHashSei(const uint8_t* unit, size_t n, uint8_t md5[3][16]) {
  std::vector<uint8_t> rbsp;
  for (size_t i = 2, z = 0; i < n; ++i) {
    if (z >= 2 && unit[i] == 3) {
      z = 0;
      continue;
    }
    z = unit[i] == 0 ? z + 1 : 0;
    rbsp.push_back(unit[i]);
  }
  size_t p = 0;
  while (p + 2 < rbsp.size()) {
    int type = 0, size = 0;
    while (p < rbsp.size() && rbsp[p] == 255) type += rbsp[p++];
    if (p >= rbsp.size()) return false;
    type += rbsp[p++];
    while (p < rbsp.size() && rbsp[p] == 255) size += rbsp[p++];
    if (p >= rbsp.size()) return false;
    size += rbsp[p++];
    if (type == 132 && p + 1 + 48 <= rbsp.size() && rbsp[p] == 0) {
      for (int c = 0; c < 3; ++c) std::memcpy(md5[c], &rbsp[p + 1 + 16 * c], 16);
      return true;
    }
    p += size;
  }
  return false;
}

}  // namespace

HashReport CheckPictureHashes(const uint8_t* data, size_t size, int maxWidth, int maxHeight, int maxRefNum) {
  HashReport r;
  IH265D_InitParam init{};
  init.iMaxWidth = maxWidth;
  init.iMaxHeight = maxHeight;
  init.iMaxRefNum = maxRefNum;
  init.eOutputOrder = 1;
  init.MallocFxn = Alloc;
  init.FreeFxn = Free;
  init.MessageFxn = Quiet;
  IH265D_HANDLE h;
  if (IH265D_Create(&h, &init)) return r;
  auto* dec = static_cast<hevc::HevcDecoder*>(h);
  // unit boundaries
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= size; ++i)
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) starts.push_back(i + 3);
  starts.push_back(size + 3);
  bool refused = false;  // a unit since the last hash gave an error
  auto feed = [&](const uint8_t* p, size_t n) {
    for (size_t done = 0;;) {
      IH265D_InArgs in{p + done, static_cast<uint32_t>(n - done), 0, 0};
      IH265D_OutArgs out{};
      int32_t rc = IH265D_Decode(h, &in, &out);
      done += out.iBytesTaken;
      if (rc != 0) {
        refused |= rc != IH265D_NEED_MORE;
        return;
      }
    }
  };
  int picNum = 0;
  for (size_t k = 0; k + 1 < starts.size(); ++k) {
    const size_t b = starts[k], e = starts[k + 1] - 3;
    size_t end = e;
    while (end > b && data[end - 1] == 0) --end;  // trailing zero of a 4-byte start code
    const uint8_t* unit = data + b;
    const size_t n = end - b;
    if (n < 2) continue;
    const int type = (unit[0] >> 1) & 0x3F;
    // handing over this unit makes the decoder finish the one before it
    std::vector<uint8_t> chunk = {0, 0, 0, 1};
    chunk.insert(chunk.end(), unit, unit + n);
    feed(chunk.data(), chunk.size());
    uint8_t md5[3][16];
    if (type == 40 && ParseHashSei(unit, n, md5)) {
      ++r.hashes;
      ++picNum;
      if (!dec->pCurPic || dec->pCurPic->iDecoded != 1 || refused) {
        ++r.skipped;
        refused = false;
        continue;
      }
      ++r.checked;
      for (int c = 0; c < 3; ++c) {
        uint8_t got[16];
        Md5(dec, c, got);
        if (std::memcmp(got, md5[c], 16) != 0) {
          if (r.mismatched == 0) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "picture %d (POC %d) plane %d", picNum - 1, dec->pCurPic->iPoc, c);
            r.firstMismatch = buf;
          }
          ++r.mismatched;
          break;
        }
      }
    }
  }
  IH265D_Delete(h);
  return r;
}

}  // namespace hevc_test
