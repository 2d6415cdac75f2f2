#include "media/video/yuv_tab.h"

#include <mutex>

namespace {

void Build(YuvTables* t) {
  for (int c = 0; c < 256; ++c) {
    double d = c - 128;
    t->ub[c] = static_cast<int32_t>(d * 1.772);
    t->ug[c] = static_cast<int32_t>(d * 0.34414);
    t->vg[c] = static_cast<int32_t>(d * 0.71414);
    t->vr[c] = static_cast<int32_t>(d * 1.402);
  }
  for (int i = 0; i < 768; ++i) {
    int v = i - 256;
    if (v < 0) {
      t->r565[i] = t->g565[i] = t->b565[i] = 0;
    } else if (v > 255) {
      t->r565[i] = 0xF800;
      t->g565[i] = 0x07E0;
      t->b565[i] = 0x001F;
    } else {
      t->r565[i] = static_cast<uint16_t>((v & 0xF8) << 8);
      t->g565[i] = static_cast<uint16_t>((v & 0xFC) << 3);
      t->b565[i] = static_cast<uint16_t>(v >> 3);
    }
  }
}

std::mutex g_tabLock;
YuvTables* g_tab = nullptr;

uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }
int Clamp565(int v) { return (v < -256 ? -256 : (v > 511 ? 511 : v)) + 256; }

// Each sample of an I420 picture as put(Y, U, V, row, column) into its output
// row.
template <typename Put>
void ForEachI420Sample(const uint8_t* y, int lumaStride, const uint8_t* u, const uint8_t* v, int chromaStride,
                       int width, int height, uint8_t* dst, int pitch, Put put) {
  for (int r = 0; r < height; ++r) {
    const uint8_t* yr = y + r * lumaStride;
    const uint8_t* ur = u + (r / 2) * chromaStride;
    const uint8_t* vr = v + (r / 2) * chromaStride;
    uint8_t* out = dst + r * pitch;
    for (int c = 0; c < width; ++c) put(yr[c], ur[c / 2], vr[c / 2], out, c);
  }
}

}  // namespace

void CreateYUVTab() {
  std::lock_guard<std::mutex> lk(g_tabLock);
  if (!g_tab) {
    g_tab = new YuvTables;
    Build(g_tab);
  }
}

void DeleteYUVTab() {
  std::lock_guard<std::mutex> lk(g_tabLock);
  delete g_tab;
  g_tab = nullptr;
}

const YuvTables* YUVTab() {
  std::lock_guard<std::mutex> lk(g_tabLock);
  return g_tab;
}

const YuvTables& ReferenceYuvTables() {
  static const YuvTables* t = [] {
    auto* n = new YuvTables;
    Build(n);
    return n;
  }();
  return *t;
}

void I420ToRgb32Ref(const YuvTables& t, const uint8_t* y, int lumaStride, const uint8_t* u, const uint8_t* v,
                    int chromaStride, int width, int height, uint8_t* dst, int pitch) {
  ForEachI420Sample(y, lumaStride, u, v, chromaStride, width, height, dst, pitch,
                    [&t](int Y, int U, int V, uint8_t* out, int c) {
                      out[4 * c + 0] = Clamp255(Y + t.ub[U]);
                      out[4 * c + 1] = Clamp255(Y - t.ug[U] - t.vg[V]);
                      out[4 * c + 2] = Clamp255(Y + t.vr[V]);
                      out[4 * c + 3] = 0;
                    });
}

void I420ToRgb565Ref(const YuvTables& t, const uint8_t* y, int lumaStride, const uint8_t* u, const uint8_t* v,
                     int chromaStride, int width, int height, uint8_t* dst, int pitch) {
  ForEachI420Sample(y, lumaStride, u, v, chromaStride, width, height, dst, pitch,
                    [&t](int Y, int U, int V, uint8_t* out, int c) {
                      uint16_t px = static_cast<uint16_t>(t.r565[Clamp565(Y + t.vr[V])] |
                                                          t.g565[Clamp565(Y - t.ug[U] - t.vg[V])] |
                                                          t.b565[Clamp565(Y + t.ub[U])]);
                      out[2 * c] = static_cast<uint8_t>(px);
                      out[2 * c + 1] = static_cast<uint8_t>(px >> 8);
                    });
}
