// Four renderers in one window on a real X server (Xvfb): the screen is grabbed and checked by pixel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QScreen>
#include <QWheelEvent>
#include <QWidget>
#include <cstdlib>
#include <memory>

#include "media/video/video_render.h"
#include "tests/media/video/render_test_util.h"

namespace {

TEST(RenderScreenshot, FourPanesOnAnXServer) {
  if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY"))
    GTEST_SKIP() << "no X display: this test runs under xvfb-run -a (install xvfb)";
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  static int argc = 1;
  static char arg0[] = "media_render_screenshot_test";
  static char* argv[] = {arg0, nullptr};
  QApplication app(argc, argv);

  QWidget window;
  window.setWindowTitle("renderers");
  auto* grid = new QGridLayout(&window);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setSpacing(0);
  QWidget* panes[4];
  for (int i = 0; i < 4; ++i) {
    panes[i] = new QWidget(&window);
    grid->addWidget(panes[i], i / 2, i % 2);
  }
  window.resize(800, 450);
  window.show();
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 300 || (!window.isVisible() && t.elapsed() < 3000))
    app.processEvents(QEventLoop::AllEvents, 20);
  ASSERT_EQ(panes[3]->size(), QSize(400, 225));

  std::unique_ptr<CDDrawVideoRender> renders[4];
  for (int i = 0; i < 4; ++i) renders[i] = std::make_unique<CDDrawVideoRender>(panes[i]);
  const uint8_t red[3] = {81, 90, 240}, green[3] = {145, 54, 34}, blue[3] = {41, 240, 110},
                grey[3] = {128, 128, 128};
  rt::I420 p0(1280, 720), p1(640, 360), p2(640, 480), p3(1920, 1080);
  p0.Fill(red[0], red[1], red[2]);
  p1.Fill(green[0], green[1], green[2]);
  p2.Fill(blue[0], blue[1], blue[2]);
  const uint8_t quads[4][3] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}};
  p3.Quadrants(quads);
  ASSERT_EQ(renders[0]->DrawPicture(p0.Picture(), kDisplayStretch), 0);
  ASSERT_EQ(renders[1]->DrawPicture(p1.Picture(), kDisplayNative), 0);
  ASSERT_EQ(renders[2]->DrawPicture(p2.Picture(), kDisplayAspect), 0);
  ASSERT_EQ(renders[3]->DrawPicture(p3.Picture(), kDisplayStretch), 0);
  QWheelEvent wheel(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  QApplication::sendEvent(panes[3], &wheel);
  (void)grey;
  t.restart();
  while (t.elapsed() < 500) app.processEvents(QEventLoop::AllEvents, 20);

  QScreen* screen = window.screen();
  ASSERT_NE(screen, nullptr);
  QImage shot = screen->grabWindow(0).toImage();
  ASSERT_FALSE(shot.isNull());
  std::string path = std::string(std::getenv("VELMORA_SHOT_DIR") ? std::getenv("VELMORA_SHOT_DIR") : ".") +
                     "/render_screenshot.png";
  shot.save(QString::fromStdString(path));
  auto at = [&](int pane, int x, int y) {
    QPoint g = panes[pane]->mapToGlobal(QPoint(x, y));
    return QColor(shot.pixel(g));
  };
  auto near = [](QColor a, QColor b) { return rt::ColourDistance(a, b) <= 3; };
  // Pane 0: stretched red.
  EXPECT_TRUE(near(at(0, 5, 5), rt::Expected(red[0], red[1], red[2])));
  EXPECT_TRUE(near(at(0, 395, 220), rt::Expected(red[0], red[1], red[2])));
  // Pane 1: 640x360 does not fit 400x225, so kept in aspect: fills the pane exactly.
  EXPECT_TRUE(near(at(1, 200, 112), rt::Expected(green[0], green[1], green[2])));
  // Pane 2: 4:3 in 16:9: 300 wide, black bars of 50 on both sides.
  EXPECT_EQ(at(2, 20, 112), QColor(Qt::black));
  EXPECT_EQ(at(2, 380, 112), QColor(Qt::black));
  EXPECT_TRUE(near(at(2, 200, 112), rt::Expected(blue[0], blue[1], blue[2])));
  // Pane 3: zoomed one step, overview box {156, 86, 396, 221} and a white navigator inside it.
  EXPECT_EQ(renders[3]->OverviewBox(), (RenderRect{156, 86, 396, 221}));
  RenderRect nav = renders[3]->NavigatorRect();
  EXPECT_EQ(at(3, nav.left, (nav.top + nav.bottom) / 2), QColor(Qt::white));
  EXPECT_EQ(at(3, (nav.left + nav.right) / 2, nav.top), QColor(Qt::white));
  EXPECT_TRUE(
      near(at(3, 158, 219), rt::Expected(quads[2][0], quads[2][1], quads[2][2])));  // box, bottom-left
  EXPECT_TRUE(near(at(3, 5, 5), rt::Expected(quads[0][0], quads[0][1], quads[0][2])));
  EXPECT_TRUE(near(at(3, 100, 200), rt::Expected(quads[2][0], quads[2][1], quads[2][2])));
  for (auto& r : renders) r.reset();
  app.processEvents();
}

}  // namespace
