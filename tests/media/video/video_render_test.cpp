// The renderer on Qt widgets (offscreen platform): conversion, presenting, wheel and drag through real
// events.
#include "media/video/video_render.h"

#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>
#include <atomic>
#include <memory>
#include <thread>

#include "tests/media/video/render_test_util.h"

void PrintTo(const RenderRect& r, std::ostream* os) {
  *os << "{" << r.left << "," << r.top << "," << r.right << "," << r.bottom << "}";
}

namespace {

QColor Pixel(const QImage& img, int x, int y) { return QColor(img.pixel(x, y)); }

void Pump() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

struct Pane {
  std::unique_ptr<QWidget> widget;
  std::unique_ptr<CDDrawVideoRender> render;
  Pane(int w, int h, bool show = true) {
    rt::App();
    widget = std::make_unique<QWidget>();
    widget->resize(w, h);
    if (show) widget->show();
    render = std::make_unique<CDDrawVideoRender>(widget.get());
    Pump();
  }
  ~Pane() {
    render.reset();
    widget.reset();
    Pump();
  }
  QImage Grab() {
    Pump();
    return widget->grab().toImage();
  }
};

// Pictures drawn at their own size match the full-range BT.601 formula (libyuv's fixed point is within 2).
TEST(VideoRender, ConversionMatchesTheFormula) {
  const YuvTables& t = ReferenceYuvTables();
  for (auto [w, h] : {std::pair{64, 48}, std::pair{63, 47}, std::pair{2, 2}}) {
    Pane pane(w, h, false);
    rt::I420 pic(w, h);
    pic.Random(static_cast<uint32_t>(w * 1000 + h));
    // Extremes for the clamps.
    pic.y[0] = 0, pic.u[0] = 0, pic.v[0] = 0;
    if (pic.u.size() > 1) pic.y[2] = 255, pic.u[1] = 255, pic.v[1] = 255;
    ASSERT_EQ(pane.render->DrawPicture(pic.Picture(), kDisplayStretch), 0);
    QImage got;
    QSize size;
    ASSERT_EQ(pane.render->GetSurfaceDC(&got, &size), 0);
    EXPECT_EQ(size, QSize(w, h));
    ASSERT_EQ(got.size(), QSize(w, h));
    std::vector<uint8_t> ref(size_t(w) * h * 4);
    I420ToRgb32Ref(t, pic.y.data(), w, pic.u.data(), pic.v.data(), pic.cw(), w, h, ref.data(), w * 4);
    int worst = 0;
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c) {
        const uint8_t* e = &ref[(size_t(r) * w + c) * 4];
        worst = std::max(worst, rt::ColourDistance(Pixel(got, c, r), QColor(e[2], e[1], e[0])));
      }
    EXPECT_LE(worst, 2) << w << "x" << h;
  }
}

// Scaling down (planes first) and up (pixels first) keeps a flat colour at the formula's value.
TEST(VideoRender, ScaledPicturesKeepTheirColours) {
  const uint8_t yuv[4][3] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}};
  for (auto [pw, ph, ww, wh] :
       {std::array{256, 192, 64, 48}, std::array{32, 24, 128, 96}, std::array{1920, 1080, 640, 360}}) {
    Pane pane(ww, wh, false);
    rt::I420 pic(pw, ph);
    pic.Quadrants(yuv);
    ASSERT_EQ(pane.render->DrawPicture(pic.Picture(), kDisplayStretch), 0);
    QImage got;
    ASSERT_EQ(pane.render->GetSurfaceDC(&got, nullptr), 0);
    ASSERT_EQ(got.size(), QSize(ww, wh));
    const int xs[2] = {ww / 4, 3 * ww / 4}, ys[2] = {wh / 4, 3 * wh / 4};
    for (int q = 0; q < 4; ++q) {
      QColor want = rt::Expected(yuv[q][0], yuv[q][1], yuv[q][2]);
      EXPECT_LE(rt::ColourDistance(Pixel(got, xs[q % 2], ys[q / 2]), want), 2)
          << pw << "->" << ww << " quadrant " << q;
    }
  }
}

TEST(VideoRender, PresenterCoalescesAndRepaintsOnlyPanesWithNewPictures) {
  rt::App();
  std::vector<std::unique_ptr<Pane>> panes;
  for (int i = 0; i < 4; ++i) panes.push_back(std::make_unique<Pane>(160, 90));
  rt::I420 pic(320, 180);
  pic.Fill(81, 90, 240);  // red
  auto& pr = VideoPresenter::Instance();
  Pump();
  auto s0 = pr.GetStats();
  for (int round = 0; round < 5; ++round)
    for (int i = 0; i < 3; ++i) ASSERT_EQ(panes[i]->render->DrawPicture(pic.Picture(), kDisplayStretch), 0);
  auto s1 = pr.GetStats();
  EXPECT_EQ(s1.signalCalls - s0.signalCalls, 15u);
  EXPECT_EQ(s1.passes, s0.passes) << "nothing presented off the GUI thread";
  QCoreApplication::processEvents();
  auto s2 = pr.GetStats();
  EXPECT_EQ(s2.passes - s1.passes, 1u) << "fifteen signals, one present pass";
  EXPECT_EQ(s2.repaints - s1.repaints, 3u) << "the fourth pane had no picture";
  QColor red = rt::Expected(81, 90, 240);
  for (int i = 0; i < 3; ++i) EXPECT_LE(rt::ColourDistance(Pixel(panes[i]->Grab(), 80, 45), red), 2) << i;
  EXPECT_EQ(Pixel(panes[3]->Grab(), 80, 45), QColor(panes[3]->widget->palette().window().color()));
  panes[0]->render->Clear();
  EXPECT_EQ(Pixel(panes[0]->Grab(), 80, 45), QColor(Qt::black));
}

// Wheel and drag arrive as the widget's own events; the overview box and a white navigator appear when
// zoomed.
TEST(VideoRender, WheelAndDragThroughWidgetEvents) {
  Pane pane(640, 360);
  const uint8_t yuv[4][3] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}};
  rt::I420 pic(1280, 720);
  pic.Quadrants(yuv);
  ASSERT_EQ(pane.render->DrawPicture(pic.Picture(), kDisplayStretch), 0);
  // b = 1280 / 8 = 160, box height 90, four pixels in from the corner.
  EXPECT_EQ(pane.render->OverviewBox(), (RenderRect{476, 266, 636, 356}));
  auto wheel = [&](int delta) {
    QWheelEvent e(QPointF(100, 100), QPointF(100, 100), QPoint(), QPoint(0, delta), Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(pane.widget.get(), &e);
  };
  auto mouse = [&](QEvent::Type type, int x, int y) {
    Qt::MouseButton b = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(x, y), QPointF(x, y), b,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pane.widget.get(), &e);
  };
  QImage before = pane.Grab();
  wheel(120);
  EXPECT_EQ(pane.render->ZoomRect(), (RenderRect{80, 45, 1200, 675}));
  EXPECT_EQ(pane.render->NavigatorRect(), (RenderRect{486, 271, 626, 350}));
  QImage zoomed = pane.Grab();
  EXPECT_EQ(Pixel(zoomed, 486, 300), QColor(Qt::white)) << "navigator's left side";
  EXPECT_EQ(Pixel(zoomed, 600, 349), QColor(Qt::white)) << "navigator's bottom side";
  EXPECT_NE(Pixel(before, 486, 300), QColor(Qt::white));
  // Inside the box, outside the navigator: the whole picture, small (bottom-left quadrant: blue).
  EXPECT_LE(rt::ColourDistance(Pixel(zoomed, 478, 354), rt::Expected(41, 240, 110)), 2);
  // The zoomed picture shows without a new picture from the stream: top-left of the pane is the picture's
  // point (80, 45), still red.
  EXPECT_LE(rt::ColourDistance(Pixel(zoomed, 2, 2), rt::Expected(81, 90, 240)), 2);

  mouse(QEvent::MouseButtonPress, 10, 10);  // outside the box
  EXPECT_FALSE(pane.render->Dragging());
  mouse(QEvent::MouseButtonPress, 500, 280);  // picture point (192, 112): clamped to the top-left
  EXPECT_TRUE(pane.render->Dragging());
  EXPECT_EQ(pane.render->ZoomRect(), (RenderRect{0, 0, 1120, 630}));
  mouse(QEvent::MouseMove, 636 - 1, 356 - 1);  // the far corner
  EXPECT_EQ(pane.render->ZoomRect(), (RenderRect{160, 90, 1280, 720}));
  mouse(QEvent::MouseMove, 50, 50);  // outside: no pan
  EXPECT_EQ(pane.render->ZoomRect(), (RenderRect{160, 90, 1280, 720}));
  mouse(QEvent::MouseButtonRelease, 50, 50);
  EXPECT_FALSE(pane.render->Dragging());
  // Bottom-right of the pane is now the picture's bottom-right: grey-white quadrant.
  EXPECT_LE(rt::ColourDistance(Pixel(pane.Grab(), 300, 200), rt::Expected(235, 128, 128)), 2);

  wheel(-120);
  EXPECT_FALSE(pane.render->Zoomed());
  QImage whole = pane.Grab();
  EXPECT_NE(Pixel(whole, 486, 300), QColor(Qt::white)) << "no navigator once the whole picture shows";
}

TEST(VideoRender, EventsBeforeTheFirstPictureAndAfterTheRendererGoDoNothing) {
  Pane pane(320, 180);
  QWheelEvent e(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                Qt::NoScrollPhase, false);
  QApplication::sendEvent(pane.widget.get(), &e);
  QMouseEvent m(QEvent::MouseButtonPress, QPointF(300, 170), QPointF(300, 170), Qt::LeftButton,
                Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(pane.widget.get(), &m);
  EXPECT_FALSE(pane.render->Created());
  EXPECT_EQ(pane.render->ZoomRect(), RenderRect{});
  pane.render.reset();
  QApplication::sendEvent(pane.widget.get(), &e);
  pane.Grab();
  // A widget that goes first leaves the renderer drawing nowhere.
  auto w = std::make_unique<QWidget>();
  w->resize(64, 64);
  auto r = std::make_unique<CDDrawVideoRender>(w.get());
  rt::I420 pic(64, 64);
  pic.Fill(128, 128, 128);
  EXPECT_EQ(r->DrawPicture(pic.Picture(), kDisplayStretch), 0);
  w.reset();
  EXPECT_EQ(r->DrawPicture(pic.Picture(), kDisplayStretch), -1);
  Pump();
  r.reset();
}

// Pictures from a media thread while the GUI thread paints, zooms and resizes.
TEST(VideoRender, WorkerDrawsWhileGuiPaints) {
  Pane pane(320, 180);
  rt::I420 a(640, 360), b(320, 240);
  a.Fill(81, 90, 240);
  b.Fill(145, 54, 34);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 60; ++i) pane.render->DrawPicture((i % 7 == 6 ? b : a).Picture(), i % 3);
    done = true;
  });
  int i = 0;
  while (!done) {
    QCoreApplication::processEvents();
    QWheelEvent e(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, (i % 4 < 2) ? 120 : -120),
                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(pane.widget.get(), &e);
    if (++i % 10 == 0) pane.widget->resize(320 + i % 50, 180);
    pane.widget->repaint();
  }
  worker.join();
  Pump();
  EXPECT_TRUE(pane.render->Created());
}

}  // namespace
