#include "app/gui/video_grid.h"

#include <QMouseEvent>
#include <QPainter>

CVideoListPane::CVideoListPane(QWidget* parent, PaneHost* host) : QWidget(parent), UiWindow(this) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  for (int i = 0; i < kGridPanes; ++i) {
    panes_[i] = new CVideoWnd(this, i, host);
    frames_[i] = kGridFrameNormal;
  }
}

CVideoListPane::~CVideoListPane() {
  // A pane in full screen is a window of its own; it comes back so it goes with the grid.
  for (CVideoWnd* p : panes_) p->LeaveFullScreen();
}

bool CVideoListPane::LayoutPanes(int rows, int columns) {
  if (!LayoutIsValid(rows, columns)) return false;
  rows_ = rows;
  columns_ = columns;
  const int count = GetPaneCount();
  DrawPaneBorder(selected_, kBorderNormal);
  setUpdatesEnabled(false);
  for (int i = count; i < kGridPanes; ++i) {
    panes_[i]->LeaveFullScreen();
    panes_[i]->hide();
  }
  const std::vector<QRect> rects = LayoutPaneRects(rows_, columns_, width(), height());
  for (int i = 0; i < count && i < static_cast<int>(rects.size()); ++i) {
    panes_[i]->PlaceInGrid(rects[i]);
    panes_[i]->show();
  }
  setUpdatesEnabled(true);
  if (selected_ < count) {
    DrawPaneBorder(selected_, static_cast<int>(kGridFrameDropTarget));
  } else {
    SelectPane(count - 1);
  }
  update();
  return true;
}

void CVideoListPane::SelectPane(int index) {
  if (index < 0 || index >= GetPaneCount()) return;
  DrawPaneBorder(selected_, kBorderNormal);
  selected_ = index;
  DrawPaneBorder(index, static_cast<int>(kGridFrameSelected));
  if (notify_) PostMessage(notify_, WM_PANE_SELECTED, reinterpret_cast<WPARAM>(panes_[index]), 0);
}

CVideoWnd* CVideoListPane::FindFreePane() const {
  const int count = GetPaneCount();
  for (int i = 0; i < count; ++i)
    if (!panes_[i]->GetDevice()) return panes_[i];
  return nullptr;
}

void CVideoListPane::SwapPanes(int i, int j) {
  if (i < 0 || j < 0 || i >= kGridPanes || j >= kGridPanes) return;
  panes_[i]->SetDropHighlight(false);
  panes_[j]->SetDropHighlight(false);
  if (i == j) return;
  const QRect ri = panes_[i]->GridRect();
  const QRect rj = panes_[j]->GridRect();
  panes_[i]->PlaceInGrid(rj);
  panes_[j]->PlaceInGrid(ri);
  panes_[i]->SetIndex(j);
  panes_[j]->SetIndex(i);
  std::swap(panes_[i], panes_[j]);
  std::swap(frames_[i], frames_[j]);
  if (selected_ == i) {
    selected_ = j;
  } else if (selected_ == j) {
    selected_ = i;
  }
  update();
}

void CVideoListPane::DrawPaneBorder(int index, int colour) {
  if (index < 0 || index >= GetPaneCount() || index >= kGridPanes) return;
  QRgb c;
  if (colour == kBorderByState) {
    c = panes_[index]->DropHighlight() ? kGridFrameDropTarget : kGridFrameNormal;
  } else if (colour == kBorderNormal) {
    c = kGridFrameNormal;
  } else {
    c = static_cast<QRgb>(colour) & 0xFFFFFF;
  }
  frames_[index] = c;
  update();
}

QRgb CVideoListPane::FrameColour(int i) const {
  if (i < 0 || i >= kGridPanes) return kGridFrameNormal;
  if (panes_[i]->DropHighlight()) return kGridFrameDropTarget;
  return frames_[i];
}

bool CVideoListPane::event(QEvent* e) {
  if (DispatchUiMessage(e)) return true;
  return QWidget::event(e);
}

void CVideoListPane::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(kGridFrameNormal));
  // The selected pane's frame is always painted in the selected colour.
  if (selected_ < GetPaneCount()) frames_[selected_] = kGridFrameSelected;
  const int count = GetPaneCount();
  p.setBrush(Qt::NoBrush);
  // Neighbours share the gap between them: the selected frame goes last, on top.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < count; ++i) {
      if ((i == selected_) != (pass == 1)) continue;
      p.setPen(QColor(FrameColour(i)));
      p.drawRect(panes_[i]->GridRect().adjusted(-1, -1, 0, 0));
    }
  }
}

void CVideoListPane::resizeEvent(QResizeEvent*) { LayoutPanes(rows_, columns_); }

void CVideoListPane::BeginDragCapture(DropCallback callback, void* data) {
  drop_callback_ = callback;
  drop_data_ = data;
  drop_target_ = nullptr;
  capturing_ = true;
  grabMouse();
}

void CVideoListPane::CaptureMove(const QPoint& global) {
  if (!capturing_) return;
  const QPoint pt = mapFromGlobal(global);
  if (!rect().contains(pt)) {
    // Dropped outside the grid, nothing is swapped.
    if (drop_target_) drop_target_->SetDropHighlight(false);
    drop_target_ = nullptr;
    return;
  }
  if (drop_target_ && drop_target_->GridRect().contains(pt)) return;
  if (drop_target_) drop_target_->SetDropHighlight(false);
  drop_target_ = nullptr;
  const int count = GetPaneCount();
  for (int i = 0; i < count; ++i) {
    if (!panes_[i]->isHidden() && !panes_[i]->IsFullScreen() && panes_[i]->GridRect().contains(pt)) {
      drop_target_ = panes_[i];
      drop_target_->SetDropHighlight(true);
      break;
    }
  }
}

void CVideoListPane::EndCapture() {
  unsetCursor();
  releaseMouse();
  capturing_ = false;
}

void CVideoListPane::CaptureRelease() {
  if (!capturing_) return;
  EndCapture();
  CVideoWnd* target = drop_target_;
  drop_target_ = nullptr;
  if (target) {
    target->SetDropHighlight(false);
    if (drop_callback_) drop_callback_(drop_data_, target);
    DrawPaneBorder(target->GetIndex(), kBorderNormal);
  }
  DrawPaneBorder(selected_, static_cast<int>(kGridFrameSelected));
}

void CVideoListPane::CaptureCancel() {
  if (!capturing_) return;
  EndCapture();
  if (drop_target_) drop_target_->SetDropHighlight(false);
  drop_target_ = nullptr;
  DrawPaneBorder(selected_, static_cast<int>(kGridFrameSelected));
}

void CVideoListPane::mouseMoveEvent(QMouseEvent* e) {
  if (capturing_) CaptureMove(e->globalPosition().toPoint());
}

void CVideoListPane::mouseReleaseEvent(QMouseEvent* e) {
  if (capturing_ && e->button() == Qt::LeftButton) {
    CaptureMove(e->globalPosition().toPoint());
    CaptureRelease();
  }
}

void CVideoListPane::mousePressEvent(QMouseEvent* e) {
  if (capturing_ && e->button() == Qt::RightButton) CaptureCancel();
}
