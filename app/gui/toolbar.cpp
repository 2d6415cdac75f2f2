#include "app/gui/toolbar.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "app/ui/strings.h"

namespace {

HWND g_command_target = 0;

QRect ScreenArea(const QPoint& at) {
  QScreen* s = QGuiApplication::screenAt(at);
  if (!s) s = QGuiApplication::primaryScreen();
  return s ? s->availableGeometry() : QRect(0, 0, 1280, 800);
}

// The application's own (sans) face: a missing SimSun would fall back to a serif one.
QFont TipFont() {
  QFont f = QApplication::font();
  f.setPointSize(9);
  return f;
}

}  // namespace

void SetToolbarCommandTarget(HWND hwnd) { g_command_target = hwnd; }

void DrawTextAligned(QPainter* p, const QRect& rect, const QString& text, uint32_t flags, bool word_wrap) {
  int qt = Qt::AlignTop;
  if (flags & 0x1)
    qt |= Qt::AlignHCenter;
  else if (flags & 0x2)
    qt |= Qt::AlignRight;
  else
    qt |= Qt::AlignLeft;
  if (word_wrap) qt |= Qt::TextWordWrap;
  QRect r = rect;
  if (flags & (0x4 | 0x8)) {
    int h = p->fontMetrics().boundingRect(rect, qt, text).height();
    if (h < r.height()) {
      if (flags & 0x4) {
        r.setTop(r.top() + (r.height() - h) / 2);
        r.setHeight(h);
      } else {
        r.setTop(r.bottom() + 1 - h);
      }
    }
  }
  if (!word_wrap && !text.contains(QLatin1Char('\n'))) {
    p->drawText(r, qt, p->fontMetrics().elidedText(text, Qt::ElideRight, r.width()));
  } else {
    p->drawText(r, qt, text);
  }
}

// ---- tooltip ----

CToolTipWnd::CToolTipWnd(QWidget* owner)
    : QWidget(owner, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), UiWindow(this) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFont(TipFont());
}

void CToolTipWnd::ShowTip(const QString& text, const QPoint* point, int hide_ms) {
  text_ = text;
  setWindowTitle(text);
  QFontMetrics fm(font());
  QSize size(fm.horizontalAdvance(text) + 2 * kTipPadX, fm.height() + 2 * kTipPadY);
  QPoint at = point ? *point : QCursor::pos();
  QRect screen = ScreenArea(at);
  int x = at.x(), y = at.y();
  if (x + size.width() > screen.right() + 1) x = screen.right() + 1 - size.width();
  if (y + size.height() + kTipOffsetY > screen.bottom() + 1)
    y = screen.bottom() + 1 - size.height();
  else
    y += kTipOffsetY;
  setGeometry(x, y, size.width(), size.height());
  show();
  raise();
  update();
  if (hide_ms) SetTimer(kTipHideTimer, hide_ms);
}

void CToolTipWnd::HideTip() {
  KillTimer(kTipHideTimer);
  hide();
}

bool CToolTipWnd::event(QEvent* e) {
  if (DispatchUiMessage(e)) return true;
  return QWidget::event(e);
}

void CToolTipWnd::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(kTipBackground));
  p.setPen(QColor(kTipBorder));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  p.setPen(QColor(kTipText));
  p.setFont(font());
  p.drawText(QPoint(kTipPadX, kTipPadY + p.fontMetrics().ascent()), text_);
}

void CToolTipWnd::OnTimer(int) { HideTip(); }

// ---- toast ----

CToast::CToast()
    : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), UiWindow(this) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(480, 40);
}

void CToast::Show(const QString& text, int hide_ms, QWidget* owner) {
  text_ = text;
  QFontMetrics fm(font());
  QRect t = fm.boundingRect(QRect(0, 0, 480, 40), Qt::AlignLeft | Qt::AlignTop, text);
  QRect area = owner ? owner->frameGeometry() : ScreenArea(QCursor::pos());
  QRect r(0, 0, t.width() + 64, t.height() + 32);
  r.moveCenter(area.center());
  setGeometry(r);
  show();
  raise();
  update();
  if (hide_ms) SetTimer(kToastHideTimer, hide_ms);
}

void CToast::ShowString(int string_id, int hide_ms, QWidget* owner) {
  Show(LoadUiString(string_id), hide_ms, owner);
}

void CToast::HideToast() {
  KillTimer(kToastHideTimer);
  hide();
}

bool CToast::event(QEvent* e) {
  if (DispatchUiMessage(e)) return true;
  return QWidget::event(e);
}

void CToast::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  p.setPen(QColor(0xFF, 0xFF, 0x00));
  p.setFont(font());
  DrawTextAligned(&p, rect(), text_, 0x1 | 0x4, true);
}

void CToast::OnTimer(int) { HideToast(); }

// ---- bar ----

CVToolbar::CVToolbar(QWidget* parent) : QWidget(parent), UiWindow(this) { setMouseTracking(true); }

CVToolbar::~CVToolbar() = default;

int CVToolbar::GetButtonState(int) const { return 4; }
int CVToolbar::GetButtonStyle(int) const { return 1; }
int CVToolbar::GetButtonCount() const { return 0; }
int CVToolbar::IndexFromId(int id) const { return id; }
int CVToolbar::IdFromIndex(int index) const { return index; }
QString CVToolbar::GetTooltipText(int) const { return QString(); }
void CVToolbar::SetButtonState(int, int) {}
void CVToolbar::ClearButtonState(int, int) {}
void CVToolbar::InvalidateButton(int) {}

void CVToolbar::OnButtonEvent(int index, int event) {
  if (event != kBtnEventClick) return;
  WPARAM id = static_cast<WPARAM>(static_cast<uint32_t>(IdFromIndex(index)));
  if (!g_command_target || !PostMessage(g_command_target, WM_COMMAND, id, 0))
    PostMessage(hwnd(), WM_COMMAND, id, 0);
}

int CVToolbar::ShownState(int index) const {
  auto it = shown_.find(index);
  return it == shown_.end() ? DrawStateByFlags(index) : it->second;
}

void CVToolbar::DrawButtonNow(int index, int draw_state) {
  if (index < 0 || index >= GetButtonCount()) return;
  shown_[index] = draw_state;
  update(ButtonRect(index));
}

int CVToolbar::DrawStateByFlags(int index) const {
  int st = GetButtonState(index);
  if (st & 8) return -1;
  if (!(st & 4)) return kDrawDisabled;
  int kind = GetButtonStyle(index) & 0x0F;
  if ((kind == 2 || kind == 4) && (st & 1)) return kDrawPressed;
  return kDrawNormal;
}

void CVToolbar::DrawButtonByState(QPainter* p, int index) {
  int s = DrawStateByFlags(index);
  shown_[index] = s;
  if (s >= 0 && p) DrawButton(p, index, s);
}

void CVToolbar::PaintButtons(QPainter* p, const QRect& clip) {
  for (int i = 0; i < GetButtonCount(); ++i) {
    if (GetButtonState(i) & 8) continue;
    if (!ButtonRect(i).intersects(clip)) continue;
    int s = ShownState(i);
    if (s >= 0) DrawButton(p, i, s);
  }
}

void CVToolbar::UncheckGroup(int index) {
  int group = (GetButtonStyle(index) >> 16) & 0xFF;
  for (int i = 0; i < GetButtonCount(); ++i) {
    if (i == index) continue;
    int style = GetButtonStyle(i);
    if ((style & 0x0F) != 4 || ((style >> 16) & 0xFF) != group) continue;
    if (GetButtonState(i) & 1) {
      ClearButtonState(i, 1);
      DrawButtonNow(i, kDrawNormal);
    }
  }
}

void CVToolbar::SetButtonEnabled(int index, bool on) {
  bool is = GetButtonState(index) & 4;
  if (is == on) return;
  if (on)
    SetButtonState(index, 4);
  else
    ClearButtonState(index, 4);
  DrawButtonNow(index, DrawStateByFlags(index));
}

void CVToolbar::SetButtonChecked(int index, bool on) {
  bool is = GetButtonState(index) & 1;
  if (is == on) return;
  if (on) {
    UncheckGroup(index);
    SetButtonState(index, 1);
  } else {
    ClearButtonState(index, 1);
  }
  if (!(GetButtonState(index) & 8)) DrawButtonNow(index, DrawStateByFlags(index));
}

void CVToolbar::SetButtonVisible(int index, bool on) {
  if (on) {
    ClearButtonState(index, 8);
    DrawButtonNow(index, DrawStateByFlags(index));
  } else {
    SetButtonState(index, 8);
    shown_.erase(index);
    InvalidateButton(index);
  }
}

void CVToolbar::EnableToolTips(bool on) {
  if (tips_on_ == on) return;
  tips_on_ = on;
  if (on && !tip_) tip_ = new CToolTipWnd(this);
}

void CVToolbar::Capture(bool on) { captured_ = on; }

void CVToolbar::HideTipIfShown() {
  if (tip_ && tip_->isVisible()) tip_->HideTip();
}

void CVToolbar::OnMouseMove(const QPoint& pt) {
  if (current_ < 0) {
    current_ = ButtonFromPoint(pt);
    if (current_ < 0) {
      Capture(false);
      return;
    }
    int st = GetButtonState(current_);
    if (st & 8) {
      current_ = -1;
      return;
    }
    if (tips_on_) {
      SetTimer(kTooltipDelayTimer, kTooltipDelayMs);
      tip_target_ = current_;
    }
    if ((st & 4) && !(st & 1)) DrawButtonNow(current_, kDrawHover);
    tracking_ = 2;
    return;
  }
  int st = GetButtonState(current_);
  if (HitTestButton(current_, pt)) {
    if ((st & 4) && tracking_ == 0) {
      if (!(st & 1)) DrawButtonNow(current_, kDrawPressed);
      tracking_ = 1;
    }
    return;
  }
  if ((st & 4) && (tracking_ == 1 || tracking_ == 2)) {
    if (!(st & 1)) DrawButtonNow(current_, kDrawNormal);
  }
  if (tracking_ == 2) {
    current_ = -1;
    Capture(false);
    KillTimer(kRepeatTimer);
    HideTipIfShown();
  }
  tracking_ = 0;
}

void CVToolbar::OnLButtonDown(const QPoint&) {
  if (current_ < 0) return;
  if (tips_on_) {
    KillTimer(kTooltipDelayTimer);
    HideTipIfShown();
  }
  if (GetButtonState(current_) & 4) {
    tracking_ = 1;
    DrawButtonNow(current_, kDrawPressed);
    int style = GetButtonStyle(current_);
    if ((style & 0x0F) == 1) {
      if (style & 0x80)
        SetTimer(kRepeatTimer, kRepeatMs);
      else if (style & 0x100)
        OnButtonEvent(current_, kBtnEventPress);
    }
  }
  Capture(true);
}

void CVToolbar::OnLButtonUp(const QPoint& pt) {
  if (current_ < 0 || !(GetButtonState(current_) & 4)) return;
  Capture(false);
  int index = current_;
  int style = GetButtonStyle(index);
  if (tracking_ != 1) {
    KillTimer(kRepeatTimer);
    if ((style & 0x0F) == 1 && (style & 0x100)) OnButtonEvent(index, kBtnEventRelease);
    tracking_ = 0;
    current_ = -1;
    return;
  }
  switch (style & 0x0F) {
    case 2:
      if (GetButtonState(index) & 1) {
        ClearButtonState(index, 1);
        DrawButtonNow(index, kDrawHover);
      } else {
        SetButtonState(index, 1);
        DrawButtonNow(index, kDrawPressed);
      }
      OnButtonEvent(index, kBtnEventClick);
      break;
    case 4:
      if (!(GetButtonState(index) & 1)) {
        UncheckGroup(index);
        SetButtonState(index, 1);
        DrawButtonNow(index, kDrawPressed);
        OnButtonEvent(index, kBtnEventClick);
      }
      break;
    default:
      KillTimer(kRepeatTimer);
      OnButtonEvent(index, (style & 0x100) ? kBtnEventRelease : kBtnEventClick);
      if (HitTestButton(index, pt)) DrawButtonNow(index, kDrawHover);
      break;
  }
  tracking_ = 2;
}

void CVToolbar::OnTimer(int id) {
  if (id == kTooltipDelayTimer) {
    KillTimer(kTooltipDelayTimer);
    if (tip_ && current_ >= 0 && current_ == tip_target_) {
      QString text = GetTooltipText(current_);
      if (!text.isEmpty()) tip_->ShowTip(text, &last_cursor_, 0);
    }
    tip_target_ = -1;
  } else if (id == kRepeatTimer) {
    if (current_ >= 0) OnButtonEvent(current_, kBtnEventClick);
  }
}

void CVToolbar::OnCaptureChanged() {
  if (current_ >= 0 && (GetButtonState(current_) & 4) && tracking_ != 0) DrawButtonNow(current_, kDrawNormal);
  HideTipIfShown();
}

void CVToolbar::OnCancelMode() {
  if (current_ >= 0 && (GetButtonState(current_) & 4) && tracking_ != 0) DrawButtonNow(current_, kDrawNormal);
  HideTipIfShown();
  Capture(false);
}

bool CVToolbar::event(QEvent* e) {
  if (DispatchUiMessage(e)) return true;
  // Another window (a menu, a dialog) taking over cancels the bar's mode.
  if (e->type() == QEvent::WindowDeactivate) OnCancelMode();
  return QWidget::event(e);
}

void CVToolbar::mouseMoveEvent(QMouseEvent* e) {
  last_cursor_ = e->globalPosition().toPoint();
  OnMouseMove(e->position().toPoint());
}

void CVToolbar::mousePressEvent(QMouseEvent* e) {
  last_cursor_ = e->globalPosition().toPoint();
  if (e->button() == Qt::LeftButton)
    OnLButtonDown(e->position().toPoint());
  else
    QWidget::mousePressEvent(e);
}

void CVToolbar::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton)
    OnLButtonUp(e->position().toPoint());
  else
    QWidget::mouseReleaseEvent(e);
}
