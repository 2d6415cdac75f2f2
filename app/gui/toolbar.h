// An owner-drawn bar of buttons: hover, press, release, check and radio toggling, auto-repeat, press and
// release events of track buttons and a delayed tooltip; plus the tooltip popup and the toast popup.
#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>
#include <map>

#include "app/ui/window_registry.h"

class QPainter;

constexpr uint32_t WM_COMMAND = 0x0111;
constexpr int kTooltipDelayTimer = 19991;
constexpr int kRepeatTimer = 19992;
constexpr int kTooltipDelayMs = 400;
constexpr int kRepeatMs = 400;
constexpr int kTipHideTimer = 1001;
constexpr int kToastHideTimer = 2001;
// Button events.
constexpr int kBtnEventPress = 1;
constexpr int kBtnEventRelease = 2;
constexpr int kBtnEventClick = 3;
// Draw states.
constexpr int kDrawNormal = 0;
constexpr int kDrawPressed = 1;
constexpr int kDrawHover = 2;
constexpr int kDrawDisabled = 3;
// The tooltip shows this far below its point.
constexpr int kTipOffsetY = 20;
// Room around a tooltip's text, each side.
constexpr int kTipPadX = 6;
constexpr int kTipPadY = 4;
// The tooltip's colours, those of the dark application (0xRRGGBB).
constexpr QRgb kTipBackground = 0x1F2329;
constexpr QRgb kTipBorder = 0x4A515C;
constexpr QRgb kTipText = 0xE8EAED;

// Sets the window that receives the clicks of every bar (the application's main window); 0 none.
void SetToolbarCommandTarget(HWND hwnd);

// Draws text into rect with the DrawTextA flags (center, right, vcenter, bottom), word wrap when asked,
// eliding the end.
void DrawTextAligned(QPainter* p, const QRect& rect, const QString& text, uint32_t flags, bool word_wrap);

class CToolTipWnd : public QWidget, public UiWindow {
 public:
  explicit CToolTipWnd(QWidget* owner);
  // Shows text at point (global; the cursor when null) moved 20 pixels down, kept on the screen; a non-zero
  // hide_ms hides it after that long.
  void ShowTip(const QString& text, const QPoint* point, int hide_ms);
  void HideTip();
  QString text() const { return text_; }

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent*) override;
  void OnTimer(int id) override;

 private:
  QString text_;
};

class CToast : public QWidget, public UiWindow {
 public:
  CToast();
  // Shows text centred on owner (the screen when null), the text's extent plus 32 pixels left and right and
  // 16 at top and bottom; a non-zero hide_ms hides it after that long.
  void Show(const QString& text, int hide_ms, QWidget* owner);
  void ShowString(int string_id, int hide_ms, QWidget* owner);
  void HideToast();
  QString text() const { return text_; }

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent*) override;
  void OnTimer(int id) override;

 private:
  QString text_;
};

class CVToolbar : public QWidget, public UiWindow {
 public:
  explicit CVToolbar(QWidget* parent = nullptr);
  ~CVToolbar() override;

  virtual int GetButtonState(int index) const;
  virtual int GetButtonStyle(int index) const;
  virtual int GetButtonCount() const;
  virtual int IndexFromId(int id) const;
  virtual int IdFromIndex(int index) const;
  virtual void OnButtonEvent(int index, int event);
  virtual bool HitTestButton(int index, const QPoint& point) const = 0;
  virtual int ButtonFromPoint(const QPoint& point) const = 0;
  virtual void DrawButton(QPainter* p, int index, int draw_state) = 0;
  virtual QString GetTooltipText(int index) const;
  virtual void SetButtonState(int index, int bits);
  virtual void ClearButtonState(int index, int bits);
  virtual void InvalidateButton(int index);

  void SetButtonEnabled(int index, bool on);
  void SetButtonChecked(int index, bool on);
  void SetButtonVisible(int index, bool on);
  void EnableToolTips(bool on);
  // The state a button is drawn in by its flags; -1 hidden.
  int DrawStateByFlags(int index) const;
  void DrawButtonByState(QPainter* p, int index);
  void UncheckGroup(int index);

  // The look each button was last given (the state it is drawn in until told otherwise).
  int ShownState(int index) const;
  int current_button() const { return current_; }
  int tracking() const { return tracking_; }
  int tooltip_target() const { return tip_target_; }
  bool captured() const { return captured_; }
  CToolTipWnd* tooltip() const { return tip_; }

  // Mouse capture lost / mode cancelled.
  void OnCaptureChanged();
  void OnCancelMode();

 protected:
  bool event(QEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void OnTimer(int id) override;
  // Draws the button in draw_state now (it keeps that look until drawn again).
  void DrawButtonNow(int index, int draw_state);
  virtual QRect ButtonRect(int index) const = 0;
  // Paints every visible button by its look.
  void PaintButtons(QPainter* p, const QRect& clip);

 private:
  void OnMouseMove(const QPoint& pt);
  void OnLButtonDown(const QPoint& pt);
  void OnLButtonUp(const QPoint& pt);
  void Capture(bool on);
  void HideTipIfShown();

  bool tips_on_ = false;
  CToolTipWnd* tip_ = nullptr;
  int current_ = -1;
  int tracking_ = 0;
  int tip_target_ = -1;
  bool captured_ = false;
  std::map<int, int> shown_;  // index -> draw state
  QPoint last_cursor_;        // global place of the last mouse message
};
