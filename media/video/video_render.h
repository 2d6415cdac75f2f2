// CDDrawVideoRender: the renderer made for every video window. A media thread converts and scales each
// picture (libyuv, full-range BT.601) into a back image of the destination's size and hands it over; one
// presenter on the GUI thread repaints the panes that have a new picture, drawing the overview box and
// navigator when zoomed. No worker thread touches a widget.
#pragma once

#include <QImage>
#include <QObject>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "media/video/video_render_base.h"

class CDDrawVideoRender;

// Surface modes: the pixel layout of a renderer's surface. Qt draws 32-bit pixels, so pictures are always
// written as mode 5.
enum : int32_t {
  kSurfaceNone = 0,
  kSurfaceUyvy = 1,
  kSurfaceI420 = 2,
  kSurfaceRgb565 = 3,
  kSurfaceRgb32 = 5
};

// The present list and the one presenter on the GUI thread. Renderers signal it from any thread; signals that
// arrive before the presenter runs are served by one pass.
class VideoPresenter {
 public:
  static VideoPresenter& Instance();

  void Add(CDDrawVideoRender* render);
  void Remove(CDDrawVideoRender* render);
  // Any thread: asks for a present pass on the GUI thread (one queued pass at a time).
  void Signal();
  // GUI thread: repaints every created renderer with a frame pending.
  void PresentAll();

  struct Stats {
    uint64_t signalCalls = 0;  // Signal calls
    uint64_t passes = 0;       // PresentAll runs
    uint64_t repaints = 0;     // panes asked to repaint
  };
  Stats GetStats();
  size_t Size();

 private:
  VideoPresenter();

  std::mutex listLock_;
  std::vector<CDDrawVideoRender*> list_;
  std::atomic<bool> posted_{false};
  std::atomic<uint64_t> signals_{0}, passes_{0}, repaints_{0};
  QObject* Target();

  std::mutex targetLock_;
  QObject* target_ = nullptr;  // lives on the GUI thread
};

class CDDrawVideoRender : public CVideoRenderBase {
 public:
  explicit CDDrawVideoRender(QWidget* widget);
  ~CDDrawVideoRender() override;

  void NotifyFrame() override;
  void Clear() override;
  int GetSurfaceDC(QImage* image, QSize* size) override;
  void ReleaseSurfaceDC(QImage* image) override;
  int Create(int32_t format, int32_t width, int32_t height) override;
  int DrawPlanar(const uint8_t* y, int32_t lumaStride, const uint8_t* u, const uint8_t* v,
                 int32_t chromaStride, int32_t mode) override;
  int DrawPacked(int32_t format, const uint8_t* data, int32_t mode) override;
  void UpdateNavigatorRect() override;
  void UpdateOverviewRect() override;
  int Recreate(int32_t width, int32_t height) override;
  bool Paint(QWidget* widget, QPaintEvent* event) override;

  int32_t SurfaceMode() const { return surfaceMode_.load(); }
  RenderRect NavigatorRect();
  bool FramePending() const { return framePending_.load(); }
  // Takes the frame-pending mark (the presenter).
  bool TakeFramePending() { return framePending_.exchange(false); }

  // Largest picture side accepted.
  static constexpr int32_t kMaxSide = 16384;

 private:
  void Release();
  // Converts the kept picture for the current zoom and destination and hands it to the painter.
  void Render();

  std::atomic<int32_t> surfaceMode_{kSurfaceNone};
  RenderRect navigatorRect_;  // under geoLock_
  std::atomic<bool> framePending_{false};

  // The last picture, kept so that zoom and pan can show it again (renderLock_).
  std::mutex renderLock_;
  bool haveSource_ = false;
  int32_t srcWidth_ = 0, srcHeight_ = 0;
  std::vector<uint8_t> srcI420_;  // planar pictures, tightly packed
  QImage srcRgb_;                 // packed pictures as 32-bit pixels
  bool srcPlanar_ = true;
  std::vector<uint8_t> scratch_;
  QImage scratchRgb_;
  QImage back_;
  QImage backOverview_;

  // What the painter shows (imageLock_).
  std::mutex imageLock_;
  QImage front_;
  QImage frontOverview_;
  RenderRect frontDest_, frontBox_, frontNav_;
  bool frontZoomed_ = false;
  uint64_t frontSerial_ = ~0ull;
};
