// The grid of video panes: nine panes of which a layout shows one to nine, pane selection (posted to the
// main window as WM_PANE_SELECTED), swaps and the frames around the panes.
#pragma once

#include <QColor>
#include <QWidget>
#include <array>

#include "app/gui/video_layout.h"
#include "app/gui/video_pane.h"
#include "app/ui/window_registry.h"

// Colours of the grid (0xRRGGBB).
constexpr QRgb kGridBackground = 0x262626;
constexpr QRgb kGridFrameNormal = 0x212942;
constexpr QRgb kGridFrameSelected = 0xBBE1F1;
constexpr QRgb kGridFrameDropTarget = 0xC8FF00;
// DrawPaneBorder colours.
constexpr int kBorderByState = -1;
constexpr int kBorderNormal = -2;

class CVideoListPane : public QWidget, public UiWindow {
 public:
  // host is handed to every pane (null: the panes call nothing back).
  CVideoListPane(QWidget* parent, PaneHost* host);
  ~CVideoListPane() override;

  // The window told of selections (WM_PANE_SELECTED); 0 none.
  void SetNotifyWindow(HWND hwnd) { notify_ = hwnd; }

  // Shows the layout; one that would show no pane or more than nine is refused (false) and the current
  // layout stays.
  bool LayoutPanes(int rows, int columns);
  int Rows() const { return rows_; }
  int Columns() const { return columns_; }
  int GetPaneCount() const { return LayoutPaneCount(rows_, columns_); }
  // The pane in display slot i (0..8), or null.
  CVideoWnd* Pane(int i) const { return i >= 0 && i < kGridPanes ? panes_[i] : nullptr; }
  CVideoWnd* GetSelectedPane() const { return Pane(selected_); }
  int SelectedIndex() const { return selected_; }
  void SelectPane(int index);
  CVideoWnd* FindFreePane() const;
  void SwapPanes(int i, int j);
  // Frame of pane index: a QRgb, kBorderByState or kBorderNormal.
  void DrawPaneBorder(int index, int colour);
  // The colour the frame around slot i is drawn in.
  QRgb FrameColour(int i) const;

  // Pane drags: while capturing, mouse moves mark the pane under the pointer as the drop target; a left
  // release calls callback(data, target), a right press cancels.
  using DropCallback = void (*)(void* data, CVideoWnd* target);
  void BeginDragCapture(DropCallback callback, void* data);
  bool Capturing() const { return capturing_; }
  CVideoWnd* DropTarget() const { return drop_target_; }
  void CaptureMove(const QPoint& global);
  void CaptureRelease();
  void CaptureCancel();

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;

 private:
  void EndCapture();

  std::array<CVideoWnd*, kGridPanes> panes_{};
  std::array<QRgb, kGridPanes> frames_{};
  int rows_ = 2;
  int columns_ = 2;
  int selected_ = 0;
  HWND notify_ = 0;
  bool capturing_ = false;
  DropCallback drop_callback_ = nullptr;
  void* drop_data_ = nullptr;
  CVideoWnd* drop_target_ = nullptr;
};
