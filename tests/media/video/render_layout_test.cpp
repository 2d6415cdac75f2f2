// Layout, anchoring, zoom and pan of a renderer, without a widget.
#include <gtest/gtest.h>

#include <vector>

#include "media/video/video_render_base.h"

void PrintTo(const RenderRect& r, std::ostream* os) {
  *os << "{" << r.left << "," << r.top << "," << r.right << "," << r.bottom << "}";
}

namespace {

class StubRender : public CVideoRenderBase {
 public:
  StubRender() : CVideoRenderBase(nullptr, 0) {}
  ~StubRender() override { DetachWidget(); }
  void NotifyFrame() override { ++notifies; }
  void Clear() override {}
  int GetSurfaceDC(QImage*, QSize*) override { return -1; }
  void ReleaseSurfaceDC(QImage*) override {}
  int Create(int32_t, int32_t, int32_t) override {
    ++creates;
    if (failCreate) return -1;
    created_.store(true);
    return 0;
  }
  int DrawPlanar(const uint8_t*, int32_t, const uint8_t*, const uint8_t*, int32_t, int32_t) override {
    return 7;
  }
  int DrawPacked(int32_t, const uint8_t*, int32_t) override { return 8; }
  void UpdateNavigatorRect() override { ++navigators; }
  void UpdateOverviewRect() override {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    // The panes' box: the bottom-right quarter of the destination.
    overviewBox_ = {destRect_.left + destRect_.Width() / 2, destRect_.top + destRect_.Height() / 2,
                    destRect_.right, destRect_.bottom};
    zoomRect_ = {0, 0, static_cast<int32_t>(picWidth_), static_cast<int32_t>(picHeight_)};
  }
  int Recreate(int32_t, int32_t) override {
    ++recreates;
    return 0;
  }
  int notifies = 0, creates = 0, recreates = 0, navigators = 0;
  bool failCreate = false;
};

std::vector<uint8_t> g_plane(4096 * 4096, 16);

VideoPicture Picture(int w, int h, int format = kPictureI420) {
  VideoPicture p;
  p.format = format;
  p.valid = 1;
  p.y = p.u = p.v = g_plane.data();
  p.width = w;
  p.height = h;
  p.lumaStride = w;
  p.chromaStride = (w + 1) / 2;
  return p;
}

TEST(RenderLayout, DestinationByModeWindowAndPicture) {
  struct Case {
    int pw, ph, ww, wh, mode;
    RenderRect target, want;
  } cases[] = {
      {1280, 720, 1000, 1000, kDisplayAspect, {}, {0, 219, 1000, 781}},
      {1280, 720, 1000, 1000, kDisplayStretch, {}, {0, 0, 1000, 1000}},
      {1280, 720, 1000, 1000, kDisplayNative, {}, {0, 219, 1000, 781}},  // does not fit: as aspect
      {640, 360, 1000, 1000, kDisplayNative, {}, {180, 320, 820, 680}},
      {640, 360, 640, 360, kDisplayNative, {}, {0, 0, 640, 360}},
      {720, 1280, 1000, 500, kDisplayAspect, {}, {359, 0, 640, 500}},
      {1280, 720, 1000, 1000, kDisplayAspect, {10, 20, 410, 320}, {10, 57, 410, 282}},
      {1280, 720, 1000, 1000, kDisplayStretch, {10, 20, 410, 320}, {10, 20, 410, 320}},
      {704, 576, 640, 360, kDisplayAspect, {}, {100, 0, 540, 360}},
      {704, 576, 640, 360, kDisplayNative, {}, {100, 0, 540, 360}},
      {1920, 1080, 640, 360, kDisplayAspect, {}, {0, 0, 640, 360}},
      {1280, 720, 0, 0, kDisplayAspect, {}, {0, 0, 0, 0}},  // window not laid out yet: no division by zero
  };
  for (const Case& c : cases) {
    StubRender r;
    r.OnResize(c.ww, c.wh);
    if (!c.target.Empty()) r.SetTargetRect(&c.target, 5);
    EXPECT_EQ(r.DrawPicture(Picture(c.pw, c.ph), c.mode), 7);
    EXPECT_EQ(r.DestRect(), c.want) << c.pw << "x" << c.ph << " in " << c.ww << "x" << c.wh << " mode "
                                    << c.mode;
    EXPECT_EQ(r.ZoomRect(), (RenderRect{0, 0, c.pw, c.ph}));
  }
}

TEST(RenderLayout, PictureChangesRecreateAndRelayout) {
  StubRender r;
  r.OnResize(1000, 1000);
  EXPECT_EQ(r.DrawPicture(Picture(1280, 720), kDisplayAspect), 7);
  EXPECT_EQ(r.DrawPicture(Picture(1280, 720), kDisplayAspect), 7);
  EXPECT_EQ(r.creates, 1);
  EXPECT_EQ(r.recreates, 0);
  EXPECT_EQ(r.DrawPicture(Picture(640, 360), kDisplayAspect), 7);
  EXPECT_EQ(r.recreates, 1);
  EXPECT_EQ(r.PictureWidth(), 640);
  EXPECT_EQ(r.ZoomRect(), (RenderRect{0, 0, 640, 360}));
  EXPECT_EQ(r.DrawPicture(Picture(640, 360), kDisplayNative), 7);
  EXPECT_EQ(r.DestRect(), (RenderRect{180, 320, 820, 680}));
  r.OnResize(800, 400);  // the next picture sees the new window
  EXPECT_EQ(r.DrawPicture(Picture(640, 360), kDisplayNative), 7);
  EXPECT_EQ(r.DestRect(), (RenderRect{80, 20, 720, 380}));
  EXPECT_EQ(r.DrawPicture(Picture(640, 360, kPictureRgb24), kDisplayNative), 8);  // packed goes to slot 7
}

TEST(RenderLayout, FailedCreateIsTriedAgainAndBadPicturesAreRefused) {
  StubRender r;
  r.OnResize(100, 100);
  r.failCreate = true;
  EXPECT_EQ(r.DrawPicture(Picture(64, 64), kDisplayStretch), -1);
  EXPECT_FALSE(r.Created());
  r.failCreate = false;
  EXPECT_EQ(r.DrawPicture(Picture(64, 64), kDisplayStretch), 7);
  EXPECT_EQ(r.creates, 2);
  VideoPicture bad = Picture(64, 64);
  bad.lumaStride = 10;
  EXPECT_EQ(r.DrawPicture(bad, kDisplayStretch), -1);
  bad = Picture(0, 64);
  EXPECT_EQ(r.DrawPicture(bad, kDisplayStretch), -1);
  bad = Picture(64, 64);
  bad.u = nullptr;
  EXPECT_EQ(r.DrawPicture(bad, kDisplayStretch), -1);
}

TEST(RenderLayout, AnchoredTargetFollowsTheWindow) {
  struct Case {
    const char* name;
    uint32_t anchors;
    RenderRect target;
    int w0, h0, w1, h1;
    RenderRect want;
  } cases[] = {
      {"inset 5, flags 15", 15, {5, 5, 395, 295}, 400, 300, 800, 600, {5, 5, 795, 595}},
      {"inset 5 shrinking", 15, {5, 5, 395, 295}, 400, 300, 200, 100, {5, 5, 195, 95}},
      {"centred horizontally", 0x20, {100, 10, 200, 60}, 400, 300, 600, 500, {200, 10, 300, 60}},
      {"centred both", 0x30, {100, 100, 300, 200}, 400, 300, 800, 500, {300, 200, 500, 300}},
      {"moves with the right side", 2 | 4, {300, 10, 380, 60}, 400, 300, 500, 400, {400, 10, 480, 60}},
      {"moves with the bottom", 1 | 8, {10, 200, 110, 280}, 400, 300, 400, 350, {10, 250, 110, 330}},
      {"kept top-left (5)", 5, {10, 10, 110, 60}, 400, 300, 800, 600, {10, 10, 110, 60}},
      {"set before the size was known", 15, {5, 5, 395, 295}, 0, 0, 400, 300, {5, 5, 395, 295}},
  };
  for (const Case& c : cases) {
    StubRender r;
    r.OnResize(c.w0, c.h0);
    r.SetTargetRect(&c.target, c.anchors);
    r.OnResize(c.w1, c.h1);
    EXPECT_EQ(r.TargetRect(), c.want) << c.name;
    r.DrawPicture(Picture(64, 64), kDisplayStretch);
    EXPECT_EQ(r.DestRect(), c.want) << c.name;
  }
  // Two resizes in a row count from the size seen last.
  StubRender r;
  RenderRect t{5, 5, 395, 295};
  r.OnResize(400, 300);
  r.SetTargetRect(&t, 15);
  r.OnResize(500, 400);
  r.OnResize(600, 350);
  EXPECT_EQ(r.TargetRect(), (RenderRect{5, 5, 595, 345}));
}

TEST(RenderLayout, WheelZoomStepsAndLimits) {
  StubRender r;
  r.OnResize(1280, 720);
  r.DrawPicture(Picture(1280, 720), kDisplayStretch);
  EXPECT_FALSE(r.Zoomed());
  // dx = 80, dy = 45.
  const RenderRect steps[] = {{80, 45, 1200, 675}, {160, 90, 1120, 630}, {240, 135, 1040, 585}};
  for (const RenderRect& s : steps) {
    EXPECT_FALSE(r.OnWheel(120)) << "the wheel is passed on";
    EXPECT_EQ(r.ZoomRect(), s);
  }
  EXPECT_TRUE(r.Zoomed());
  EXPECT_EQ(r.notifies, 3);
  r.OnWheel(-120);
  EXPECT_EQ(r.ZoomRect(), steps[1]);
  r.OnWheel(-120);
  EXPECT_EQ(r.ZoomRect(), steps[0]);
  r.OnWheel(-120);  // one step smaller than the picture: back to the whole
  EXPECT_EQ(r.ZoomRect(), (RenderRect{0, 0, 1280, 720}));
  int before = r.notifies;
  r.OnWheel(-120);  // not zoomed: nothing
  EXPECT_EQ(r.notifies, before);
  // Zooming in stops before the rectangle would vanish.
  for (int i = 0; i < 40; ++i) r.OnWheel(120);
  RenderRect z = r.ZoomRect();
  EXPECT_GT(z.Width(), 0);
  EXPECT_LE(z.Width(), 3 * 80);
  EXPECT_GE(z.Width(), 80);
  EXPECT_EQ(z.left + z.right, 1280);
  // A picture narrower than 16 pixels has no zoom step.
  StubRender tiny;
  tiny.OnResize(100, 100);
  tiny.DrawPicture(Picture(8, 8), kDisplayStretch);
  tiny.OnWheel(120);
  EXPECT_EQ(tiny.ZoomRect(), (RenderRect{0, 0, 8, 8}));
}

TEST(RenderLayout, DragInsideTheOverviewBoxPansAndClamps) {
  StubRender r;
  r.OnResize(1280, 720);
  r.DrawPicture(Picture(1280, 720), kDisplayStretch);
  RenderRect box = r.OverviewBox();  // {640, 360, 1280, 720}: half scale
  ASSERT_EQ(box, (RenderRect{640, 360, 1280, 720}));
  EXPECT_FALSE(r.OnButtonDown(700, 400)) << "not zoomed: passed on";
  r.OnWheel(120);
  r.OnWheel(120);  // {160, 90, 1120, 630}: 960 x 540
  EXPECT_FALSE(r.OnButtonDown(10, 10)) << "outside the box: no pan";
  EXPECT_FALSE(r.Dragging());
  EXPECT_EQ(r.ZoomRect(), (RenderRect{160, 90, 1120, 630}));
  // Press at box point (200, 100): picture point (400, 200) becomes the centre, then clamped to the picture.
  EXPECT_TRUE(r.OnButtonDown(840, 460));
  EXPECT_TRUE(r.Dragging());
  EXPECT_EQ(r.ZoomRect(), (RenderRect{0, 0, 960, 540}));
  EXPECT_TRUE(r.OnMouseMove(1000, 600));  // picture point (720, 480)
  EXPECT_EQ(r.ZoomRect(), (RenderRect{240, 180, 1200, 720}));
  EXPECT_TRUE(r.OnMouseMove(1279, 719));  // far corner: clamped
  EXPECT_EQ(r.ZoomRect(), (RenderRect{320, 180, 1280, 720}));
  EXPECT_FALSE(r.OnMouseMove(100, 100)) << "outside the box: passed on, no pan";
  EXPECT_EQ(r.ZoomRect(), (RenderRect{320, 180, 1280, 720}));
  r.OnButtonUp();
  EXPECT_FALSE(r.Dragging());
  EXPECT_TRUE(r.OnMouseMove(840, 460)) << "inside the box while zoomed: answered";
  EXPECT_EQ(r.ZoomRect(), (RenderRect{320, 180, 1280, 720})) << "not dragging: no pan";
}

TEST(RenderLayout, WheelAndDragBeforeThePictureIsSetUpDoNothing) {
  StubRender r;
  EXPECT_FALSE(r.OnWheel(120));
  EXPECT_FALSE(r.OnWheel(-120));
  EXPECT_FALSE(r.OnButtonDown(0, 0));
  EXPECT_FALSE(r.OnMouseMove(0, 0));
  r.OnButtonUp();
  EXPECT_EQ(r.notifies, 0);
  EXPECT_EQ(r.ZoomRect(), RenderRect{});
  r.failCreate = true;
  r.OnResize(100, 100);
  r.DrawPicture(Picture(64, 64), kDisplayStretch);
  EXPECT_FALSE(r.OnWheel(120));
  EXPECT_EQ(r.notifies, 0);
}

}  // namespace
