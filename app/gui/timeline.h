// The playback timeline: one day's recordings as coloured bars on a time axis under a fixed centre cursor.
// The user drags the axis (with a fling that slows down); 400 ms after the movement ends playback starts or
// moves to the cursor time. While playback runs the media sink reports the position (WM_TIMELINE_EVENT) and
// the axis follows it. The axis is pre-rendered into one strip image per day, so scrolling only copies.
#pragma once

#include <QImage>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/ui/window_registry.h"
#include "sdk/cloud/record_list.h"

// What the timeline plays: the SD-card session or the cloud player of the first pane's device.
class TimelinePlayback {
 public:
  virtual ~TimelinePlayback() = default;
  // A new day's list (the cloud player is stopped and given it).
  virtual void SetRecordList(const std::vector<PlaybackSegment>* list) {}
  // Starts playback, with a sink that reports positions to the timeline, or moves it to t.
  virtual void PlayAt(int64_t t) = 0;
};

constexpr int kTimelineFlingTimer = 1001;
constexpr int kTimelineSettleTimer = 1002;
constexpr int kTimelineFlingMs = 80;
constexpr int kTimelineSettleMs = 400;
constexpr double kTimelineScale = 0.2;  // pixels per second
constexpr int kTimelineMaxRows = 20;

struct TimelineStrip {
  QImage image;
  int64_t start = 0;   // seconds
  int64_t length = 0;  // seconds
  int width = 0;       // (int)(length * scale)
  int64_t End() const { return start + length; }
};

// A part of a strip copied to the window.
struct TimelineRow {
  int strip = 0;
  int dest_x = 0;
  int width = 0;
  int src_x = 0;
};

// One tick of the axis: x, its length (16 whole hours, 8 other ten-minute marks, 4 five-minute marks) and
// the "%02d:%02d" label of a ten-minute mark (empty otherwise).
struct TimelineTick {
  int x = 0;
  int length = 0;
  QString label;
};
// The ticks of [left, right) for an axis starting at time s (local clock).
std::vector<TimelineTick> TimelineTicks(int64_t s, int left, int right, double scale = kTimelineScale);

// One bar: x, width (at least 1) and the segment's kind.
struct TimelineBar {
  int x = 0;
  int width = 0;
  int kind = 0;
};
// The bars of list in [left, right) for an axis starting at time s.
std::vector<TimelineBar> TimelineBars(const std::vector<PlaybackSegment>& list, int64_t s, int left,
                                      int right, double scale = kTimelineScale);
// The start of t's local day (00:00:00) and of the next one.
int64_t LocalDayStart(int64_t t);
int64_t LocalNextDayStart(int64_t t);

class CTimelineWnd : public QWidget, public UiWindow {
 public:
  explicit CTimelineWnd(QWidget* parent = nullptr);
  ~CTimelineWnd() override;

  // The day's list (not owned) and what plays it; start is the wanted time. Builds the axis and, with a
  // non-empty list, starts playback at the cursor.
  void SetRecordList(TimelinePlayback* playback, const std::vector<PlaybackSegment>* list, int64_t start);
  void Reset();
  void StartPlaybackAtCursor();
  // A position from the media sink (events 9 and 10).
  void OnPlaybackPosition(int64_t t);
  void ScrollByPixels(int dx);

  // Mouse input with the message time of the injected clock.
  void OnLButtonDown(const QPoint& pt);
  void OnMouseMove(const QPoint& pt);
  void OnLButtonUp(const QPoint& pt);
  void OnCaptureChanged();
  void OnTimer(int id) override;
  // Milliseconds of the message clock (tests inject one).
  void SetMessageClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

  int64_t cursor_time() const { return cursor_; }
  int64_t visible_seconds() const { return visible_; }
  const std::vector<TimelineStrip>& strips() const { return strips_; }
  const std::vector<TimelineRow>& rows() const { return rows_; }
  bool dragging() const { return dragging_; }
  bool settling() const { return settling_; }
  double fling_speed() const { return fling_speed_; }
  bool fling_left() const { return fling_left_; }
  bool HasList() const { return list_ && !list_->empty(); }
  // Full repaints and label-only repaints so far (the label is redrawn alone when the axis did not move).
  int full_paints() const { return full_paints_; }
  int label_paints() const { return label_paints_; }
  // The window drawn into an image.
  QImage Render();

 protected:
  bool event(QEvent* e) override;
  void OnMessage(UiMessageEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  void BuildStrips();
  void RenderStrip(int64_t start, int64_t length);
  void DrawTicks(QPainter* p, int64_t s, const QRect& r);
  void LayoutVisibleSegments();
  void Paint(QPainter* p);
  void DrawCursorMarker(QPainter* p);
  void DrawCursorLabel(QPainter* p);
  QRect LabelRect() const;
  void RedrawAll();

  const std::vector<PlaybackSegment>* list_ = nullptr;
  TimelinePlayback* playback_ = nullptr;
  int64_t cursor_ = 0;
  int64_t visible_ = 0;
  bool dragging_ = false;
  bool settling_ = false;
  QPoint last_;
  QPoint sample_;
  int64_t sample_time_ = 0;
  bool fling_left_ = false;
  double fling_speed_ = 0;
  std::vector<TimelineStrip> strips_;
  int strip_height_ = 0;
  std::vector<TimelineRow> rows_;
  std::function<int64_t()> clock_;
  int full_paints_ = 0;
  int label_paints_ = 0;
};
