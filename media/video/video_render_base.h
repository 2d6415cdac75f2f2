// CVideoRenderBase: what a video renderer does about its window rather than its drawing surface: the target
// rectangle and its anchoring, where the picture goes by the display mode, wheel zoom and drag-to-pan inside
// the overview box, and when a surface must be made again.
//
// The window is a Qt widget. The renderer does not subclass it: it watches the widget's resize, wheel, mouse
// and paint events through an event filter on the GUI thread. DrawPicture runs on a media thread and never
// touches the widget; it sees the widget's size as last reported by a resize event. The geometry (target,
// destination, zoom, overview box, picture size) is shared by both threads under geoLock_.
#pragma once

#include <QPointer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "media/video/video_picture.h"

class QEvent;
class QPaintEvent;

struct RenderRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  bool Empty() const { return right <= left || bottom <= top; }
  bool Contains(int32_t x, int32_t y) const { return x >= left && x < right && y >= top && y < bottom; }
  bool operator==(const RenderRect&) const = default;
};

// Anchor flags of a target rectangle.
enum : uint32_t {
  kAnchorLeft = 1,
  kAnchorRight = 2,
  kAnchorTop = 4,
  kAnchorBottom = 8,
  kAnchorCentreV = 0x10,
  kAnchorCentreH = 0x20,
};

// Display modes.
enum : int32_t { kDisplayStretch = 0, kDisplayNative = 1, kDisplayAspect = 2 };

namespace media {
class RenderLink;
}

class CVideoRenderBase {
 public:
  // widget may be null (nothing is shown). kind is kept for the renderers' own use.
  CVideoRenderBase(QWidget* widget, int32_t kind);
  virtual ~CVideoRenderBase();
  // Hands the widget's events (resize, mouse, paint) to the renderer; called by the renderer's own
  // constructor once it is whole, since the GUI thread may use it at once.
  void LinkWidget();
  CVideoRenderBase(const CVideoRenderBase&) = delete;
  CVideoRenderBase& operator=(const CVideoRenderBase&) = delete;

  // Slots of the renderers.
  virtual void NotifyFrame() = 0;
  virtual void Clear() = 0;
  // A copy of what the surface shows and the picture size; 0, or -1 when there is none.
  virtual int GetSurfaceDC(QImage* image, QSize* size) = 0;
  virtual void ReleaseSurfaceDC(QImage* image) = 0;
  virtual int Create(int32_t format, int32_t width, int32_t height) = 0;
  virtual int DrawPlanar(const uint8_t* y, int32_t lumaStride, const uint8_t* u, const uint8_t* v,
                         int32_t chromaStride, int32_t mode) = 0;
  virtual int DrawPacked(int32_t format, const uint8_t* data, int32_t mode) = 0;
  virtual void UpdateNavigatorRect() = 0;
  virtual void UpdateOverviewRect() = 0;
  virtual int Recreate(int32_t width, int32_t height) = 0;
  // Paints the pane from the widget's paint event (GUI thread); false leaves the event to the widget.
  virtual bool Paint(QWidget* widget, QPaintEvent* event) { return false; }

  // Rectangle in widget coordinates (null or empty: the whole widget) and its anchor flags.
  void SetTargetRect(const RenderRect* rect, uint32_t anchors);
  // Returns the draw result, or -1 when the surface cannot be made.
  int DrawPicture(const VideoPicture& picture, int32_t mode);
  void UpdateLayout();

  // Event entry points (GUI thread; also used directly by tests). Each returns true when the event is
  // answered here and must not reach the widget.
  void OnResize(int32_t width, int32_t height);
  bool OnWheel(int32_t delta);
  bool OnButtonDown(int32_t x, int32_t y);
  bool OnMouseMove(int32_t x, int32_t y);
  void OnButtonUp();

  // Snapshots of the shared geometry.
  RenderRect TargetRect();
  RenderRect DestRect();
  RenderRect ZoomRect();
  RenderRect OverviewBox();
  bool Zoomed();
  bool Dragging();
  bool Created() const { return created_.load(); }
  int32_t PictureWidth();
  int32_t PictureHeight();
  int32_t DisplayMode();
  QWidget* Widget() const { return widget_.data(); }  // GUI thread only
  // Number of live renderers in the process.
  static int LiveCount();

 protected:
  // Moves the zoom rectangle back inside the picture without changing its size.
  void ClampZoomRect();
  bool ZoomedLocked() const {
    return zoomRect_.left > 0 || zoomRect_.right < static_cast<int32_t>(picWidth_);
  }
  // Counts changes of what the picture shows (zoom, destination); a surface made at an older count is stale.
  uint64_t GeometrySerial() const { return geoSerial_.load(); }

  std::recursive_mutex geoLock_;
  QPointer<QWidget> widget_;
  std::atomic<bool> created_{false};
  int32_t zoomEnabled_ = 1;
  bool layoutDirty_ = false;
  RenderRect targetRect_;
  uint32_t anchors_ = 5;
  int32_t clientWidth_ = 0;
  int32_t clientHeight_ = 0;
  RenderRect destRect_;
  RenderRect zoomRect_;
  RenderRect overviewBox_;
  int32_t dragging_ = 0;
  uint32_t picWidth_ = 0;
  uint32_t picHeight_ = 0;
  int32_t displayMode_ = 0;
  RenderRect windowRect_;
  int32_t kind_;
  // Widget size from its last resize event (the widget is never read off the GUI thread).
  RenderRect currentWindow_;
  std::atomic<uint64_t> geoSerial_{0};

  // Stops the widget's events from reaching this renderer; waits for one in progress. Renderers call it first
  // in their destructors, so no event meets a half-destroyed renderer.
  void DetachWidget();

 private:
  void OnParentResize(int32_t width, int32_t height);
  void MoveZoomTo(int32_t x, int32_t y);

  media::RenderLink* link_ = nullptr;
};
