#include "app/gui/timeline.h"

#include <time.h>

#include <QApplication>
#include <QDateTime>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int64_t kHalfDay = 43200;
constexpr int64_t kDay = 86400;
constexpr int kTickStep = 300;
constexpr int kSampleMs = 200;
constexpr int kFlingMinPixels = 16;
constexpr double kFlingMinSpeed = 0.8;
constexpr double kFlingStopSpeed = 0.05;
constexpr double kFlingDecay = 0.8;
constexpr int kMarkerSize = 8;

const QColor kBackground(0x00, 0x00, 0x00);
const QColor kBarNormal(0x41, 0x7A, 0xEE);  // kind below 1
const QColor kBarAlarm(0xFF, 0x2F, 0x7C);   // kind 1 and up
const QColor kAxis(0xFF, 0xFF, 0xFF);
const QColor kMarker(0xFF, 0xFF, 0x00);
const QColor kLabel(0xFF, 0xFF, 0x80);

struct tm LocalTm(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm lt {};
  localtime_r(&tt, &lt);
  return lt;
}

QFont TimelineFont() {
  QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  f.setPixelSize(11);
  return f;
}

int64_t MessageTimeNow() { return QDateTime::currentMSecsSinceEpoch(); }

}  // namespace

int64_t LocalDayStart(int64_t t) {
  struct tm lt = LocalTm(t);
  lt.tm_hour = 0;
  lt.tm_min = 0;
  lt.tm_sec = 0;
  lt.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&lt));
}

int64_t LocalNextDayStart(int64_t t) {
  struct tm lt = LocalTm(t);
  lt.tm_mday += 1;
  lt.tm_hour = 0;
  lt.tm_min = 0;
  lt.tm_sec = 0;
  lt.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&lt));
}

std::vector<TimelineTick> TimelineTicks(int64_t s, int left, int right, double scale) {
  std::vector<TimelineTick> ticks;
  const struct tm lt = LocalTm(s);
  const int past = (lt.tm_min % 10) * 60 + lt.tm_sec;
  int64_t t = s - past;
  for (double x = left - past * scale; x < right; x += kTickStep * scale, t += kTickStep) {
    if (x < left) continue;
    const int xi = static_cast<int>(x);
    const struct tm tt = LocalTm(t);
    TimelineTick tick;
    tick.x = xi;
    if (tt.tm_min == 0 && tt.tm_sec == 0)
      tick.length = 16;
    else if (tt.tm_min % 10 == 0 && tt.tm_sec == 0)
      tick.length = 8;
    else
      tick.length = 4;
    if (tt.tm_min % 10 == 0 && tt.tm_sec == 0)
      tick.label = QString::asprintf("%02d:%02d", tt.tm_hour, tt.tm_min);
    ticks.push_back(tick);
  }
  return ticks;
}

std::vector<TimelineBar> TimelineBars(const std::vector<PlaybackSegment>& list, int64_t s, int left,
                                      int right, double scale) {
  std::vector<TimelineBar> bars;
  int64_t offset = 0;
  const int k = FindSegmentAt(list, s, &offset);
  if (k < 0 || s >= list.back().End()) return bars;
  auto add = [&](int x, int64_t seconds, int kind) {
    bars.push_back({x, std::max(1, static_cast<int>(seconds * scale)), kind});
  };
  size_t next = static_cast<size_t>(k);
  if (list[next].start <= s && s < list[next].End()) {
    add(left, list[next].duration - (s - list[next].start), list[next].kind);
    ++next;
  }
  for (; next < list.size(); ++next) {
    const int x = left + static_cast<int>((list[next].start - s) * scale);
    if (x >= right) break;
    add(x, list[next].duration, list[next].kind);
  }
  return bars;
}

CTimelineWnd::CTimelineWnd(QWidget* parent) : QWidget(parent), UiWindow(this) {
  setObjectName(QStringLiteral("Timeline"));
  setAttribute(Qt::WA_OpaquePaintEvent, true);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::ClickFocus);
  clock_ = MessageTimeNow;
  visible_ = static_cast<int64_t>(std::floor(width() / kTimelineScale + 0.5));
}

CTimelineWnd::~CTimelineWnd() = default;

bool CTimelineWnd::event(QEvent* e) {
  if (DispatchUiMessage(e)) return true;
  return QWidget::event(e);
}

void CTimelineWnd::OnMessage(UiMessageEvent* e) {
  if (e->is_invoke()) {
    UiWindow::OnMessage(e);
    return;
  }
  if (e->message() == WM_TIMELINE_EVENT && (e->wparam() == 9 || e->wparam() == 10))
    OnPlaybackPosition(static_cast<int64_t>(e->lparam()));
}

void CTimelineWnd::SetRecordList(TimelinePlayback* playback, const std::vector<PlaybackSegment>* list,
                                 int64_t start) {
  list_ = list;
  playback_ = playback;
  if (playback_) playback_->SetRecordList(list);
  strips_.clear();
  cursor_ = start;
  if (HasList()) {
    int64_t offset = 0;
    const int k = FindSegmentAt(*list_, start, &offset);
    if (k >= 0) {
      const PlaybackSegment& seg = (*list_)[static_cast<size_t>(k)];
      if (start >= list_->back().End())
        cursor_ = list_->back().End();
      else if (start < seg.start)
        cursor_ = seg.start;
    }
    BuildStrips();
  }
  LayoutVisibleSegments();
  RedrawAll();
  if (HasList()) StartPlaybackAtCursor();
}

void CTimelineWnd::Reset() {
  KillTimer(kTimelineFlingTimer);
  KillTimer(kTimelineSettleTimer);
  dragging_ = false;
  settling_ = false;
  SetRecordList(nullptr, nullptr, 0);
}

void CTimelineWnd::StartPlaybackAtCursor() {
  if (playback_ && HasList()) playback_->PlayAt(cursor_);
}

void CTimelineWnd::BuildStrips() {
  strips_.clear();
  strip_height_ = height();
  if (!HasList()) return;
  int64_t start = list_->front().start - kHalfDay;
  const int64_t end = list_->back().End() + kHalfDay;
  RenderStrip(start, LocalNextDayStart(start) - start);
  start = strips_.back().End();
  while (start < end) {
    const int64_t length = std::min<int64_t>(kDay, end - start);
    RenderStrip(start, length);
    start += length;
  }
}

void CTimelineWnd::RenderStrip(int64_t start, int64_t length) {
  TimelineStrip s;
  s.start = start;
  s.length = length;
  s.width = static_cast<int>(length * kTimelineScale);
  const int h = std::max(1, strip_height_);
  s.image = QImage(std::max(1, s.width), h, QImage::Format_RGB32);
  QPainter p(&s.image);
  DrawTicks(&p, start, QRect(0, 0, s.width, h));
  p.end();
  strips_.push_back(std::move(s));
}

void CTimelineWnd::DrawTicks(QPainter* p, int64_t s, const QRect& r) {
  const int left = r.x(), top = r.y(), right = r.x() + r.width(), bottom = r.y() + r.height();
  p->fillRect(r, kBackground);
  p->setPen(QPen(kAxis, 1));
  p->drawLine(0, 0, right, 0);
  const int m = top + (bottom - top) / 2;
  p->drawLine(left, m, right, m);
  if (list_ && !list_->empty()) {
    for (const TimelineBar& b : TimelineBars(*list_, s, left, right))
      p->fillRect(QRect(b.x, m + 1, b.width, bottom - m - 1), b.kind < 1 ? kBarNormal : kBarAlarm);
  }
  p->setFont(TimelineFont());
  for (const TimelineTick& t : TimelineTicks(s, left, right)) {
    p->setPen(QPen(kAxis, 1));
    p->drawLine(t.x, bottom - t.length, t.x, bottom);
    if (!t.label.isEmpty())
      p->drawText(QRect(t.x + 2, bottom - 20, 60, 16), Qt::AlignLeft | Qt::AlignTop, t.label);
  }
}

void CTimelineWnd::LayoutVisibleSegments() {
  rows_.clear();
  const int w = width();
  if (w <= 0) return;
  int64_t t = cursor_ - visible_ / 2;
  int x = 0;
  for (size_t i = 0; i < strips_.size() && rows_.size() < kTimelineMaxRows; ++i) {
    const TimelineStrip& s = strips_[i];
    if (t < s.start || t >= s.End()) continue;
    TimelineRow row;
    row.strip = static_cast<int>(i);
    row.dest_x = x;
    row.src_x = static_cast<int>((t - s.start) * kTimelineScale);
    row.width = s.width - row.src_x;
    if (row.width >= w - x) {
      row.width = w - x;
      rows_.push_back(row);
      break;
    }
    rows_.push_back(row);
    x += row.width;
    t = s.End();
  }
}

void CTimelineWnd::ScrollByPixels(int dx) {
  if (!HasList()) return;
  int64_t next = cursor_ + static_cast<int64_t>(std::floor(0.5 - dx / kTimelineScale));
  if (dx > 0) next = std::max(next, list_->front().start);
  if (dx < 0) next = std::min(next, list_->back().End());
  if (next == cursor_) return;
  cursor_ = next;
  LayoutVisibleSegments();
  RedrawAll();
}

void CTimelineWnd::OnPlaybackPosition(int64_t t) {
  if (dragging_ || settling_ || t == cursor_) return;
  cursor_ = t;
  const int64_t t0 = t - visible_ / 2;
  if (!rows_.empty()) {
    const TimelineRow& r = rows_.front();
    const TimelineStrip& s = strips_[static_cast<size_t>(r.strip)];
    // The axis has not moved by a pixel: only the time under the cursor changes.
    if (t0 >= s.start && t0 < s.End() && static_cast<int>((t0 - s.start) * kTimelineScale) == r.src_x) {
      ++label_paints_;
      update(LabelRect());
      return;
    }
  }
  LayoutVisibleSegments();
  RedrawAll();
}

void CTimelineWnd::RedrawAll() {
  ++full_paints_;
  update();
}

void CTimelineWnd::OnLButtonDown(const QPoint& pt) {
  if (!HasList()) return;
  setFocus();
  KillTimer(kTimelineFlingTimer);
  KillTimer(kTimelineSettleTimer);
  last_ = pt;
  dragging_ = true;
}

void CTimelineWnd::OnMouseMove(const QPoint& pt) {
  if (!dragging_) return;
  if (pt != last_) {
    ScrollByPixels(pt.x() - last_.x());
    last_ = pt;
  }
  const int64_t now = clock_();
  if (now - sample_time_ > kSampleMs) {
    sample_time_ = now;
    sample_ = pt;
  }
}

void CTimelineWnd::OnLButtonUp(const QPoint& pt) {
  if (!dragging_) return;
  const int dx = pt.x() - sample_.x();
  const int64_t dt = clock_() - sample_time_;
  const double v =
      dt != 0 ? std::fabs(static_cast<double>(dx) / static_cast<double>(dt) * (0.5 / kTimelineScale)) : 0.0;
  if (std::abs(dx) > kFlingMinPixels && v > kFlingMinSpeed) {
    fling_speed_ = v;
    fling_left_ = dx < 0;
    SetTimer(kTimelineFlingTimer, kTimelineFlingMs);
  } else {
    SetTimer(kTimelineSettleTimer, kTimelineSettleMs);
  }
  settling_ = true;
  dragging_ = false;
}

void CTimelineWnd::OnCaptureChanged() { dragging_ = false; }

void CTimelineWnd::OnTimer(int id) {
  if (id == kTimelineFlingTimer) {
    if (fling_speed_ > kFlingStopSpeed) {
      ScrollByPixels((fling_left_ ? -1 : 1) * static_cast<int>(fling_speed_ * kTimelineFlingMs));
      fling_speed_ *= kFlingDecay;
    } else {
      fling_speed_ = 0;
      KillTimer(kTimelineFlingTimer);
      SetTimer(kTimelineSettleTimer, kTimelineSettleMs);
    }
  } else if (id == kTimelineSettleTimer) {
    KillTimer(kTimelineSettleTimer);
    StartPlaybackAtCursor();
    settling_ = false;
  }
}

void CTimelineWnd::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton)
    OnLButtonDown(e->position().toPoint());
  else
    QWidget::mousePressEvent(e);
}

void CTimelineWnd::mouseMoveEvent(QMouseEvent* e) { OnMouseMove(e->position().toPoint()); }

void CTimelineWnd::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton)
    OnLButtonUp(e->position().toPoint());
  else
    QWidget::mouseReleaseEvent(e);
}

void CTimelineWnd::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  visible_ = static_cast<int64_t>(std::floor(width() / kTimelineScale + 0.5));
  if (HasList()) {
    if (height() != strip_height_) BuildStrips();
    LayoutVisibleSegments();
  }
}

QRect CTimelineWnd::LabelRect() const { return QRect(width() / 2 + 4, 0, 160, 18); }

void CTimelineWnd::DrawCursorMarker(QPainter* p) {
  const int w = width(), h = height();
  QPainterPath tri;
  tri.moveTo(w / 2, h - kMarkerSize);
  tri.lineTo(w / 2 - kMarkerSize, h);
  tri.lineTo(w / 2 + kMarkerSize, h);
  tri.closeSubpath();
  p->setPen(QPen(kMarker, 1));
  p->setBrush(kMarker);
  p->drawPath(tri);
  p->drawLine(w / 2, h - kMarkerSize, w / 2, 0);
  p->setBrush(Qt::NoBrush);
}

void CTimelineWnd::DrawCursorLabel(QPainter* p) {
  if (!HasList() || cursor_ == 0) return;
  const struct tm lt = LocalTm(cursor_);
  const QString text = QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", lt.tm_year + 1900, lt.tm_mon + 1,
                                         lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
  p->setFont(TimelineFont());
  p->setPen(kLabel);
  p->drawText(LabelRect(), Qt::AlignLeft | Qt::AlignTop, text);
}

void CTimelineWnd::Paint(QPainter* p) {
  const int w = width(), h = height();
  if (HasList()) {
    p->fillRect(rect(), kBackground);
    for (const TimelineRow& r : rows_)
      p->drawImage(QPoint(r.dest_x, 0), strips_[static_cast<size_t>(r.strip)].image,
                   QRect(r.src_x, 0, r.width, h));
  } else {
    DrawTicks(p, 0, QRect(0, 0, w, h));
  }
  DrawCursorMarker(p);
  DrawCursorLabel(p);
}

void CTimelineWnd::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Paint(&p);
}

QImage CTimelineWnd::Render() {
  QImage img(std::max(1, width()), std::max(1, height()), QImage::Format_RGB32);
  QPainter p(&img);
  Paint(&p);
  p.end();
  return img;
}
