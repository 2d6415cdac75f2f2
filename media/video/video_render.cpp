#include "media/video/video_render.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <QCoreApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QThread>
#include <algorithm>
#include <cstring>

#include "platform/tsan_sync.h"

// ---- presenter ----

namespace {

QEvent::Type PresentEventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

// The GUI thread's end of the present passes. A pass is asked for with a plain event that Qt queues and
// frees: a queued functor would be freed by whichever thread drops it last, through reference counts that
// the thread sanitizer does not see.
class PresentTarget : public QObject {
 public:
  bool event(QEvent* e) override {
    TsanAcquire(e);
    if (e->type() != PresentEventType()) return QObject::event(e);
    VideoPresenter::Instance().PresentAll();
    return true;
  }
};

}  // namespace

VideoPresenter& VideoPresenter::Instance() {
  static VideoPresenter* p = new VideoPresenter();  // lives as long as the process, like the GUI thread
  return *p;
}

VideoPresenter::VideoPresenter() { Target(); }

QObject* VideoPresenter::Target() {
  std::lock_guard<std::mutex> lk(targetLock_);
  // Made once the application exists (a renderer may come first); it belongs to the GUI thread.
  if (!target_) {
    if (QCoreApplication* app = QCoreApplication::instance()) {
      auto* t = new PresentTarget();
      if (t->thread() != app->thread()) t->moveToThread(app->thread());
      target_ = t;
    }
  }
  return target_;
}

void VideoPresenter::Add(CDDrawVideoRender* render) {
  std::lock_guard<std::mutex> lk(listLock_);
  list_.push_back(render);
}

void VideoPresenter::Remove(CDDrawVideoRender* render) {
  std::lock_guard<std::mutex> lk(listLock_);
  list_.erase(std::remove(list_.begin(), list_.end(), render), list_.end());
}

size_t VideoPresenter::Size() {
  std::lock_guard<std::mutex> lk(listLock_);
  return list_.size();
}

void VideoPresenter::Signal() {
  signals_.fetch_add(1, std::memory_order_relaxed);
  QObject* target = Target();
  if (!target || posted_.exchange(true)) return;
  auto* present = new QEvent(PresentEventType());
  TsanRelease(present);
  QCoreApplication::postEvent(target, present);
}

void VideoPresenter::PresentAll() {
  posted_.store(false);
  passes_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lk(listLock_);
  for (CDDrawVideoRender* r : list_) {
    if (!r->Created() || !r->TakeFramePending()) continue;
    if (QWidget* w = r->Widget()) {
      w->update();
      repaints_.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

VideoPresenter::Stats VideoPresenter::GetStats() {
  return Stats{signals_.load(), passes_.load(), repaints_.load()};
}

// ---- renderer ----

CDDrawVideoRender::CDDrawVideoRender(QWidget* widget) : CVideoRenderBase(widget, 1) {
  VideoPresenter::Instance();
  LinkWidget();
}

CDDrawVideoRender::~CDDrawVideoRender() {
  DetachWidget();
  Release();
}

void CDDrawVideoRender::NotifyFrame() {
  framePending_.store(true);
  VideoPresenter::Instance().Signal();
}

void CDDrawVideoRender::Clear() {
  {
    std::lock_guard<std::mutex> lk(imageLock_);
    front_ = QImage();
    frontOverview_ = QImage();
    frontZoomed_ = false;
    frontSerial_ = GeometrySerial();
  }
  NotifyFrame();
}

int CDDrawVideoRender::GetSurfaceDC(QImage* image, QSize* size) {
  std::lock_guard<std::mutex> lk(imageLock_);
  if (!created_.load() || front_.isNull()) return -1;
  if (image) *image = front_.copy();
  if (size) *size = QSize(static_cast<int>(PictureWidth()), static_cast<int>(PictureHeight()));
  return 0;
}

void CDDrawVideoRender::ReleaseSurfaceDC(QImage* image) {
  if (image) *image = QImage();
}

void CDDrawVideoRender::Release() {
  if (created_.load()) {
    VideoPresenter::Instance().Remove(this);
    created_.store(false);
  }
  std::lock_guard<std::mutex> rl(renderLock_);
  haveSource_ = false;
  srcI420_.clear();
  srcI420_.shrink_to_fit();
  srcRgb_ = QImage();
  scratch_.clear();
  scratchRgb_ = QImage();
  back_ = QImage();
  backOverview_ = QImage();
  std::lock_guard<std::mutex> il(imageLock_);
  front_ = QImage();
  frontOverview_ = QImage();
  frontZoomed_ = false;
}

int CDDrawVideoRender::Create(int32_t format, int32_t width, int32_t height) {
  Release();
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return -1;
  if (format != kPictureI420 && format != kPictureRgb565 && format != kPictureRgb24 &&
      format != kPictureRgb32)
    return -1;
  surfaceMode_.store(kSurfaceRgb32);
  {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    picWidth_ = static_cast<uint32_t>(width);
    picHeight_ = static_cast<uint32_t>(height);
    zoomRect_ = {0, 0, width, height};
  }
  {
    std::lock_guard<std::mutex> rl(renderLock_);
    srcWidth_ = width;
    srcHeight_ = height;
  }
  created_.store(true);
  VideoPresenter::Instance().Add(this);
  return 0;
}

int CDDrawVideoRender::Recreate(int32_t width, int32_t height) {
  int32_t mode = surfaceMode_.load();
  int32_t format = (mode == kSurfaceUyvy || mode == kSurfaceI420) ? kPictureI420 : mode;
  Release();
  return Create(format == kSurfaceNone ? kPictureI420 : format, width, height);
}

int CDDrawVideoRender::DrawPlanar(const uint8_t* y, int32_t lumaStride, const uint8_t* u, const uint8_t* v,
                                  int32_t chromaStride, int32_t mode) {
  if (widget_.isNull() || !created_.load()) return -1;
  if (surfaceMode_.load() == kSurfaceNone) return -9;
  {
    std::lock_guard<std::mutex> rl(renderLock_);
    const int32_t w = srcWidth_, h = srcHeight_, cw = (w + 1) / 2, ch = (h + 1) / 2;
    srcI420_.resize(static_cast<size_t>(w) * h + 2 * static_cast<size_t>(cw) * ch);
    uint8_t* dy = srcI420_.data();
    uint8_t* du = dy + static_cast<size_t>(w) * h;
    uint8_t* dv = du + static_cast<size_t>(cw) * ch;
    libyuv::I420Copy(y, lumaStride, u, chromaStride, v, chromaStride, dy, w, du, cw, dv, cw, w, h);
    srcPlanar_ = true;
    haveSource_ = true;
  }
  {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    displayMode_ = mode;
  }
  Render();
  NotifyFrame();
  return 0;
}

int CDDrawVideoRender::DrawPacked(int32_t format, const uint8_t* data, int32_t mode) {
  if (widget_.isNull() || !created_.load()) return -1;
  if (surfaceMode_.load() == kSurfaceNone) return -9;
  bool wrote = false;
  {
    std::lock_guard<std::mutex> rl(renderLock_);
    const int32_t w = srcWidth_, h = srcHeight_;
    if (surfaceMode_.load() == kSurfaceRgb32 && (format == kPictureRgb24 || format == kPictureRgb32)) {
      if (srcRgb_.width() != w || srcRgb_.height() != h) srcRgb_ = QImage(w, h, QImage::Format_RGB32);
      if (format == kPictureRgb24) {
        libyuv::RAWToARGB(data, w * 3, srcRgb_.bits(), static_cast<int>(srcRgb_.bytesPerLine()), w, h);
      } else {
        for (int32_t r = 0; r < h; ++r) {
          auto* out = reinterpret_cast<uint32_t*>(srcRgb_.scanLine(r));
          std::memcpy(out, data + static_cast<size_t>(r) * w * 4, static_cast<size_t>(w) * 4);
          for (int32_t c = 0; c < w; ++c) out[c] |= 0xFF000000u;
        }
      }
      srcPlanar_ = false;
      haveSource_ = true;
      wrote = true;
    }
  }
  {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    displayMode_ = mode;
  }
  if (wrote) Render();
  NotifyFrame();
  return 0;
}

void CDDrawVideoRender::Render() {
  std::lock_guard<std::mutex> rl(renderLock_);
  if (!haveSource_) return;
  RenderRect dest, zoom, box, nav;
  bool zoomed;
  uint64_t serial;
  {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    serial = GeometrySerial();
    dest = destRect_;
    zoom = zoomRect_;
    box = overviewBox_;
    nav = navigatorRect_;
    zoomed = ZoomedLocked();
  }
  const int32_t w = srcWidth_, h = srcHeight_, cw = (w + 1) / 2, ch = (h + 1) / 2;
  const int dw = dest.Width(), dh = dest.Height();
  if (dw <= 0 || dh <= 0 || dw > kMaxSide || dh > kMaxSide) {
    std::lock_guard<std::mutex> il(imageLock_);
    front_ = QImage();
    frontSerial_ = serial;
    return;
  }
  // The part of the picture shown, inside the picture and on even luma positions for the chroma planes.
  zoom.left = std::clamp(zoom.left, 0, w - 1);
  zoom.top = std::clamp(zoom.top, 0, h - 1);
  zoom.right = std::clamp(zoom.right, zoom.left + 1, w);
  zoom.bottom = std::clamp(zoom.bottom, zoom.top + 1, h);
  if (back_.width() != dw || back_.height() != dh) back_ = QImage(dw, dh, QImage::Format_RGB32);

  auto scaleInto = [&](const RenderRect& crop, QImage& target) {
    const int tw = target.width(), th = target.height();
    uint8_t* to = target.bits();
    const int toPitch = static_cast<int>(target.bytesPerLine());
    if (!srcPlanar_) {
      const uint8_t* from = srcRgb_.constBits() + crop.top * srcRgb_.bytesPerLine() + crop.left * 4;
      libyuv::ARGBScale(from, static_cast<int>(srcRgb_.bytesPerLine()), crop.Width(), crop.Height(), to,
                        toPitch, tw, th, libyuv::kFilterBilinear);
      return;
    }
    const int x0 = crop.left & ~1, y0 = crop.top & ~1;
    const int sw = crop.right - x0, sh = crop.bottom - y0;
    const uint8_t* sy = srcI420_.data() + static_cast<size_t>(y0) * w + x0;
    const uint8_t* su =
        srcI420_.data() + static_cast<size_t>(w) * h + static_cast<size_t>(y0 / 2) * cw + x0 / 2;
    const uint8_t* sv = su + static_cast<size_t>(cw) * ch;
    if (sw == tw && sh == th) {
      libyuv::J420ToARGB(sy, w, su, cw, sv, cw, to, toPitch, tw, th);
    } else if (static_cast<int64_t>(tw) * th <= static_cast<int64_t>(sw) * sh) {
      // Shrinking: scale the planes, then convert the fewer pixels.
      const int tcw = (tw + 1) / 2, tch = (th + 1) / 2;
      scratch_.resize(static_cast<size_t>(tw) * th + 2 * static_cast<size_t>(tcw) * tch);
      uint8_t* ty = scratch_.data();
      uint8_t* tu = ty + static_cast<size_t>(tw) * th;
      uint8_t* tv = tu + static_cast<size_t>(tcw) * tch;
      libyuv::I420Scale(sy, w, su, cw, sv, cw, sw, sh, ty, tw, tu, tcw, tv, tcw, tw, th,
                        libyuv::kFilterBilinear);
      libyuv::J420ToARGB(ty, tw, tu, tcw, tv, tcw, to, toPitch, tw, th);
    } else {
      // Growing: convert the picture's pixels, then scale them.
      if (scratchRgb_.width() != sw || scratchRgb_.height() != sh)
        scratchRgb_ = QImage(sw, sh, QImage::Format_RGB32);
      libyuv::J420ToARGB(sy, w, su, cw, sv, cw, scratchRgb_.bits(),
                         static_cast<int>(scratchRgb_.bytesPerLine()), sw, sh);
      libyuv::ARGBScale(scratchRgb_.constBits(), static_cast<int>(scratchRgb_.bytesPerLine()), sw, sh, to,
                        toPitch, tw, th, libyuv::kFilterBilinear);
    }
  };
  scaleInto(zoom, back_);
  if (zoomed && box.Width() > 0 && box.Height() > 0) {
    if (backOverview_.width() != box.Width() || backOverview_.height() != box.Height())
      backOverview_ = QImage(box.Width(), box.Height(), QImage::Format_RGB32);
    scaleInto(RenderRect{0, 0, w, h}, backOverview_);
  }
  std::lock_guard<std::mutex> il(imageLock_);
  std::swap(front_, back_);
  frontDest_ = dest;
  frontZoomed_ = zoomed && !backOverview_.isNull() && box.Width() > 0 && box.Height() > 0;
  if (frontZoomed_) std::swap(frontOverview_, backOverview_);
  frontBox_ = box;
  frontNav_ = nav;
  frontSerial_ = serial;
}

bool CDDrawVideoRender::Paint(QWidget* widget, QPaintEvent*) {
  if (!created_.load()) return false;
  bool stale;
  {
    std::lock_guard<std::mutex> il(imageLock_);
    stale = frontSerial_ != GeometrySerial();
  }
  if (stale) Render();  // zoom or pan moved since the last picture: show the kept picture again
  QPainter p(widget);
  std::lock_guard<std::mutex> il(imageLock_);
  const QRect all = widget->rect();
  if (front_.isNull()) {
    p.fillRect(all, Qt::black);
    return true;
  }
  const QRect dest(frontDest_.left, frontDest_.top, frontDest_.Width(), frontDest_.Height());
  // Black around the picture.
  p.fillRect(QRect(all.left(), all.top(), all.width(), dest.top() - all.top()), Qt::black);
  p.fillRect(QRect(all.left(), dest.bottom() + 1, all.width(), all.bottom() - dest.bottom()), Qt::black);
  p.fillRect(QRect(all.left(), dest.top(), dest.left() - all.left(), dest.height()), Qt::black);
  p.fillRect(QRect(dest.right() + 1, dest.top(), all.right() - dest.right(), dest.height()), Qt::black);
  p.drawImage(dest.topLeft(), front_);
  if (frontZoomed_ && !frontOverview_.isNull()) {
    p.drawImage(QPoint(frontBox_.left, frontBox_.top), frontOverview_);
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(frontNav_.left, frontNav_.top, frontNav_.Width() - 1, frontNav_.Height() - 1));
  }
  return true;
}

void CDDrawVideoRender::UpdateOverviewRect() {
  std::lock_guard<std::recursive_mutex> lk(geoLock_);
  const int32_t pw = static_cast<int32_t>(picWidth_), ph = static_cast<int32_t>(picHeight_);
  if (pw <= 0 || ph <= 0) return;
  const int32_t b = pw < 768 ? 96 : pw / 8;
  const RenderRect& d = destRect_;
  overviewBox_ = {d.right - b - 4, d.bottom - static_cast<int32_t>(static_cast<int64_t>(b) * ph / pw) - 4,
                  d.right - 4, d.bottom - 4};
  zoomRect_ = {0, 0, pw, ph};
  UpdateNavigatorRect();
  geoSerial_.fetch_add(1);
}

void CDDrawVideoRender::UpdateNavigatorRect() {
  std::lock_guard<std::recursive_mutex> lk(geoLock_);
  const int64_t pw = picWidth_, ph = picHeight_;
  if (pw <= 0 || ph <= 0) return;
  const int64_t b = pw < 768 ? 96 : pw / 8;
  const RenderRect& box = overviewBox_;
  const int64_t bh = box.Height();
  const RenderRect& z = zoomRect_;
  navigatorRect_ = {
      static_cast<int32_t>(box.left + b * z.left / pw), static_cast<int32_t>(box.top + bh * z.top / ph),
      static_cast<int32_t>(box.left + b * z.right / pw), static_cast<int32_t>(box.top + bh * z.bottom / ph)};
}

RenderRect CDDrawVideoRender::NavigatorRect() {
  std::lock_guard<std::recursive_mutex> lk(geoLock_);
  return navigatorRect_;
}
