#include "media/video/video_render_base.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QThread>
#include <QWheelEvent>

#include "media/video/yuv_tab.h"
#include "platform/tsan_sync.h"

namespace media {

QEvent::Type AttachEventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

// Who the widget's events go to; cleared (under mu) before the renderer goes.
struct LinkState {
  std::recursive_mutex mu;  // recursive: setFocus sends the widget a focus event from inside a mouse event
  CVideoRenderBase* render = nullptr;
};

// The event filter between a widget and its renderer. Lives on the GUI thread.
class RenderLink : public QObject {
 public:
  RenderLink(std::shared_ptr<LinkState> state, QWidget* widget) : state_(std::move(state)), widget_(widget) {}
  ~RenderLink() override {
    // Deleted later on the GUI thread after the renderer's thread detached it (see ~CVideoRenderBase).
    TsanAcquire(this);
    if (widget_) widget_->update();
  }

  // A link made on a media thread is attached on the GUI thread by a plain event that Qt queues and frees
  // (a queued functor is freed by whichever thread drops it last, through reference counts the thread
  // sanitizer does not see); the link passes over with it.
  bool event(QEvent* e) override {
    TsanAcquire(e);
    if (e->type() != AttachEventType()) return QObject::event(e);
    Attach();
    return true;
  }

  void Attach() {
    if (!widget_) return;
    widget_->installEventFilter(this);
    std::lock_guard<std::recursive_mutex> lk(state_->mu);
    if (state_->render) state_->render->OnResize(widget_->width(), widget_->height());
  }

  bool eventFilter(QObject* watched, QEvent* e) override {
    // The widget's events include those posted to it from other threads.
    TsanAcquire(e);
    if (watched != widget_.data()) return false;
    std::lock_guard<std::recursive_mutex> lk(state_->mu);
    CVideoRenderBase* r = state_->render;
    if (!r) return false;
    switch (e->type()) {
      case QEvent::Resize: {
        auto* re = static_cast<QResizeEvent*>(e);
        r->OnResize(re->size().width(), re->size().height());
        return false;
      }
      case QEvent::Wheel:
        return r->OnWheel(static_cast<QWheelEvent*>(e)->angleDelta().y());
      case QEvent::MouseButtonPress: {
        auto* me = static_cast<QMouseEvent*>(e);
        if (me->button() != Qt::LeftButton) return false;
        widget_->setFocus(Qt::MouseFocusReason);
        QPoint p = me->position().toPoint();
        return r->OnButtonDown(p.x(), p.y());
      }
      case QEvent::MouseMove: {
        QPoint p = static_cast<QMouseEvent*>(e)->position().toPoint();
        return r->OnMouseMove(p.x(), p.y());
      }
      case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) r->OnButtonUp();
        return false;
      case QEvent::Paint:
        return r->Paint(widget_.data(), static_cast<QPaintEvent*>(e));
      default:
        return false;
    }
  }

  void Detach() {
    std::lock_guard<std::recursive_mutex> lk(state_->mu);
    state_->render = nullptr;
  }

 private:
  std::shared_ptr<LinkState> state_;
  QPointer<QWidget> widget_;
};

}  // namespace media

namespace {

std::atomic<int> g_liveRenders{0};

// One axis of an anchored rectangle (lo..hi) when its parent's extent goes
// from `was` to `now`: anchored at the far side it keeps its distance to it
// (and stretches when anchored at the near side too); centred it keeps its
// offset from the centre.
void AnchorAxis(int32_t& lo, int32_t& hi, int32_t was, int32_t now, bool nearSide, bool farSide, bool centre) {
  if (farSide) {
    hi += now - was;
    if (!nearSide) lo += now - was;
  } else if (centre) {
    const int32_t size = hi - lo;
    lo = now / 2 + lo - was / 2;
    hi = lo + size;
  }
}

}  // namespace

CVideoRenderBase::CVideoRenderBase(QWidget* widget, int32_t kind) : widget_(widget), kind_(kind) {
  if (g_liveRenders.fetch_add(1) == 0) {
    CreateYUVTab();
  }
}

void CVideoRenderBase::LinkWidget() {
  if (QWidget* widget = widget_) {
    auto state = std::make_shared<media::LinkState>();
    state->render = this;
    link_ = new media::RenderLink(state, widget);
    QThread* gui = widget->thread();
    if (QThread::currentThread() == gui) {
      link_->Attach();
    } else {
      link_->moveToThread(gui);
      auto* attach = new QEvent(media::AttachEventType());
      TsanRelease(attach);
      QCoreApplication::postEvent(link_, attach);
    }
  }
}

CVideoRenderBase::~CVideoRenderBase() {
  DetachWidget();
  if (link_) {
    if (QThread::currentThread() == link_->thread()) {
      delete link_;
    } else {
      TsanRelease(link_);
      link_->deleteLater();
    }
    link_ = nullptr;
  }
  if (g_liveRenders.fetch_sub(1) == 1) {
    DeleteYUVTab();
  }
}

void CVideoRenderBase::DetachWidget() {
  if (link_) link_->Detach();
}

int CVideoRenderBase::LiveCount() { return g_liveRenders.load(); }

void CVideoRenderBase::SetTargetRect(const RenderRect* rect, uint32_t anchors) {
  std::lock_guard<std::recursive_mutex> lk(geoLock_);
  targetRect_ = rect ? *rect : RenderRect{};
  anchors_ = anchors;
  clientWidth_ = currentWindow_.Width();
  clientHeight_ = currentWindow_.Height();
  layoutDirty_ = true;
}

int CVideoRenderBase::DrawPicture(const VideoPicture& pic, int32_t mode) {
  if (pic.width <= 0 || pic.height <= 0 || !pic.y) return -1;
  if (pic.format == kPictureI420 &&
      (!pic.u || !pic.v || pic.lumaStride < pic.width || pic.chromaStride < (pic.width + 1) / 2))
    return -1;
  bool changed = false;
  if (!created_.load()) {
    if (Create(pic.format, pic.width, pic.height) != 0) return -1;
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    picWidth_ = static_cast<uint32_t>(pic.width);
    picHeight_ = static_cast<uint32_t>(pic.height);
    zoomRect_ = {0, 0, pic.width, pic.height};
    displayMode_ = mode;
    layoutDirty_ = true;
  } else {
    bool resized;
    {
      std::lock_guard<std::recursive_mutex> lk(geoLock_);
      resized =
          picWidth_ != static_cast<uint32_t>(pic.width) || picHeight_ != static_cast<uint32_t>(pic.height);
    }
    if (resized) Recreate(pic.width, pic.height);  // outside the lock: it takes the present list's
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    if (resized) {
      picWidth_ = static_cast<uint32_t>(pic.width);
      picHeight_ = static_cast<uint32_t>(pic.height);
      zoomRect_ = {0, 0, pic.width, pic.height};
      layoutDirty_ = true;
      changed = true;
    } else if (mode != displayMode_) {
      displayMode_ = mode;
      layoutDirty_ = true;
      changed = true;
    } else if (!(currentWindow_ == windowRect_)) {
      layoutDirty_ = true;
      changed = true;
    }
  }
  {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    if (layoutDirty_) {
      UpdateLayout();
      UpdateOverviewRect();
      layoutDirty_ = false;
    }
    (void)changed;  // the presenter repaints the whole pane, borders included
  }
  if (pic.format == kPictureI420)
    return DrawPlanar(pic.y, pic.lumaStride, pic.u, pic.v, pic.chromaStride, mode);
  return DrawPacked(pic.format, pic.y, mode);
}

void CVideoRenderBase::UpdateLayout() {
  std::lock_guard<std::recursive_mutex> lk(geoLock_);
  windowRect_ = currentWindow_;
  RenderRect d = targetRect_.Empty() ? currentWindow_ : targetRect_;
  const int32_t pw = static_cast<int32_t>(picWidth_), ph = static_cast<int32_t>(picHeight_);
  int32_t mode = displayMode_;
  if (mode == kDisplayNative) {
    if (pw <= d.Width() && ph <= d.Height()) {
      d.left += (d.Width() - pw) / 2;
      d.top += (d.Height() - ph) / 2;
      d.right = d.left + pw;
      d.bottom = d.top + ph;
    } else {
      mode = kDisplayAspect;
    }
  }
  if (mode == kDisplayAspect && ph > 0 && d.Height() > 0) {
    float a = static_cast<float>(pw) / static_cast<float>(ph);
    if (a < static_cast<float>(d.Width()) / static_cast<float>(d.Height())) {
      int32_t w = static_cast<int32_t>(static_cast<float>(d.Height()) * a);
      d.left += (d.Width() - w) / 2;
      d.right = d.left + w;
    } else {
      int32_t h = static_cast<int32_t>(static_cast<float>(d.Width()) / a);
      d.top += (d.Height() - h) / 2;
      d.bottom = d.top + h;
    }
  }
  destRect_ = d;
  geoSerial_.fetch_add(1);
}

void CVideoRenderBase::OnResize(int32_t width, int32_t height) {
  std::lock_guard<std::recursive_mutex> lk(geoLock_);
  currentWindow_ = {0, 0, width, height};
  // A target set before the widget's size was known has nothing to move from.
  if (!targetRect_.Empty() && (clientWidth_ > 0 || clientHeight_ > 0)) {
    OnParentResize(width, height);
  } else {
    clientWidth_ = width;
    clientHeight_ = height;
  }
}

void CVideoRenderBase::OnParentResize(int32_t W, int32_t H) {
  RenderRect& t = targetRect_;
  AnchorAxis(t.left, t.right, clientWidth_, W, anchors_ & kAnchorLeft, anchors_ & kAnchorRight,
             anchors_ & kAnchorCentreH);
  AnchorAxis(t.top, t.bottom, clientHeight_, H, anchors_ & kAnchorTop, anchors_ & kAnchorBottom,
             anchors_ & kAnchorCentreV);
  clientWidth_ = W;
  clientHeight_ = H;
}

void CVideoRenderBase::ClampZoomRect() {
  std::lock_guard<std::recursive_mutex> lk(geoLock_);
  RenderRect& z = zoomRect_;
  const int32_t pw = static_cast<int32_t>(picWidth_), ph = static_cast<int32_t>(picHeight_);
  int32_t dx = z.left < 0 ? -z.left : (z.right > pw ? pw - z.right : 0);
  int32_t dy = z.top < 0 ? -z.top : (z.bottom > ph ? ph - z.bottom : 0);
  z.left += dx;
  z.right += dx;
  z.top += dy;
  z.bottom += dy;
}

bool CVideoRenderBase::OnWheel(int32_t delta) {
  {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    // Nothing to zoom before the first picture has set the surface up.
    if (!zoomEnabled_ || !created_.load() || picWidth_ == 0 || picHeight_ == 0) return false;
    const int32_t pw = static_cast<int32_t>(picWidth_), ph = static_cast<int32_t>(picHeight_);
    const int32_t dx = pw / 16;
    const int32_t dy = static_cast<int32_t>(static_cast<int64_t>(ph) * dx / pw);
    RenderRect& z = zoomRect_;
    if (delta > 0) {
      if (z.Width() > 2 * dx && z.Height() > 2 * dy)
        z = {z.left + dx, z.top + dy, z.right - dx, z.bottom - dy};
    } else {
      if (!ZoomedLocked()) return false;
      if (z.Width() + 2 * dx >= pw || z.Height() + 2 * dy >= ph) {
        z = {0, 0, pw, ph};
      } else {
        z = {z.left - dx, z.top - dy, z.right + dx, z.bottom + dy};
      }
    }
    ClampZoomRect();
    UpdateNavigatorRect();
    geoSerial_.fetch_add(1);
  }
  NotifyFrame();
  return false;
}

void CVideoRenderBase::MoveZoomTo(int32_t x, int32_t y) {
  const RenderRect& box = overviewBox_;
  RenderRect& z = zoomRect_;
  int32_t px = static_cast<int32_t>(static_cast<int64_t>(x - box.left) * picWidth_ / box.Width());
  int32_t py = static_cast<int32_t>(static_cast<int64_t>(y - box.top) * picHeight_ / box.Height());
  int32_t w = z.Width(), h = z.Height();
  z.left = px - w / 2;
  z.top = py - h / 2;
  z.right = z.left + w;
  z.bottom = z.top + h;
  ClampZoomRect();
  UpdateNavigatorRect();
  geoSerial_.fetch_add(1);
}

bool CVideoRenderBase::OnButtonDown(int32_t x, int32_t y) {
  {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    if (!zoomEnabled_ || !created_.load() || picWidth_ == 0 || picHeight_ == 0 || overviewBox_.Empty())
      return false;
    if (!ZoomedLocked() || !overviewBox_.Contains(x, y)) return false;
    dragging_ = 1;
    MoveZoomTo(x, y);
  }
  NotifyFrame();
  return true;
}

bool CVideoRenderBase::OnMouseMove(int32_t x, int32_t y) {
  {
    std::lock_guard<std::recursive_mutex> lk(geoLock_);
    if (!zoomEnabled_ || !created_.load() || picWidth_ == 0 || picHeight_ == 0 || overviewBox_.Empty())
      return false;
    if (!ZoomedLocked() || !overviewBox_.Contains(x, y)) return false;
    if (!dragging_) return true;
    MoveZoomTo(x, y);
  }
  NotifyFrame();
  return true;
}

void CVideoRenderBase::OnButtonUp() {
  std::lock_guard<std::recursive_mutex> lk(geoLock_);
  dragging_ = 0;
}

#define VELMORA_GEO_GETTER(Type, Name, field)           \
  Type CVideoRenderBase::Name() {                       \
    std::lock_guard<std::recursive_mutex> lk(geoLock_); \
    return field;                                       \
  }
VELMORA_GEO_GETTER(RenderRect, TargetRect, targetRect_)
VELMORA_GEO_GETTER(RenderRect, DestRect, destRect_)
VELMORA_GEO_GETTER(RenderRect, ZoomRect, zoomRect_)
VELMORA_GEO_GETTER(RenderRect, OverviewBox, overviewBox_)
VELMORA_GEO_GETTER(bool, Zoomed, ZoomedLocked())
VELMORA_GEO_GETTER(bool, Dragging, dragging_ != 0)
VELMORA_GEO_GETTER(int32_t, PictureWidth, static_cast<int32_t>(picWidth_))
VELMORA_GEO_GETTER(int32_t, PictureHeight, static_cast<int32_t>(picHeight_))
VELMORA_GEO_GETTER(int32_t, DisplayMode, displayMode_)
#undef VELMORA_GEO_GETTER
