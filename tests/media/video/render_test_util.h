// Helpers of the renderer tests: a Qt application on the offscreen platform and I420 pictures.
#pragma once

#include <QApplication>
#include <QColor>
#include <QImage>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "media/video/video_picture.h"
#include "media/video/yuv_tab.h"

namespace rt {

inline QApplication& App() {
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char arg0[] = "media_test";
    static char* argv[] = {arg0, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

struct I420 {
  int w = 0, h = 0;
  std::vector<uint8_t> y, u, v;
  I420(int width, int height)
      : w(width), h(height), y(size_t(w) * h), u(size_t((w + 1) / 2) * ((h + 1) / 2)), v(u.size()) {}
  int cw() const { return (w + 1) / 2; }
  void Fill(uint8_t Y, uint8_t U, uint8_t V) {
    std::fill(y.begin(), y.end(), Y);
    std::fill(u.begin(), u.end(), U);
    std::fill(v.begin(), v.end(), V);
  }
  // Four quadrants of the given colours (top-left, top-right, bottom-left, bottom-right).
  void Quadrants(const uint8_t yuv[4][3]) {
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c) y[size_t(r) * w + c] = yuv[(r >= h / 2) * 2 + (c >= w / 2)][0];
    for (int r = 0; r < (h + 1) / 2; ++r)
      for (int c = 0; c < cw(); ++c) {
        int q = (2 * r >= h / 2) * 2 + (2 * c >= w / 2);
        u[size_t(r) * cw() + c] = yuv[q][1];
        v[size_t(r) * cw() + c] = yuv[q][2];
      }
  }
  void Random(uint32_t seed) {
    std::mt19937 g(seed);
    for (auto* p : {&y, &u, &v})
      for (auto& b : *p) b = static_cast<uint8_t>(g());
  }
  VideoPicture Picture() const {
    VideoPicture p;
    p.format = kPictureI420;
    p.valid = 1;
    p.y = y.data();
    p.u = u.data();
    p.v = v.data();
    p.width = w;
    p.height = h;
    p.lumaStride = w;
    p.chromaStride = cw();
    return p;
  }
};

// The colour of one YUV triple by the reference tables.
inline QColor Expected(uint8_t Y, uint8_t U, uint8_t V) {
  const YuvTables& t = ReferenceYuvTables();
  uint8_t px[4];
  I420ToRgb32Ref(t, &Y, 1, &U, &V, 1, 1, 1, px, 4);
  return QColor(px[2], px[1], px[0]);
}

inline int ColourDistance(QColor a, QColor b) {
  return std::max(
      {std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

}  // namespace rt
