#include "app/gui/date_picker.h"

#include <time.h>

#include <QTableView>
#include <QTextCharFormat>
#include <QToolButton>

namespace {

const char kPickerStyle[] =
    "QCalendarWidget { background: #1E2126; border: 1px solid #3A3F47; border-radius: 6px; }"
    "QCalendarWidget QWidget#qt_calendar_navigationbar { background: #1E2126; padding: 4px; }"
    "QCalendarWidget QToolButton { color: #E8EAED; background: transparent; border: none; border-radius: 4px;"
    "  padding: 4px 8px; font-weight: 600; }"
    "QCalendarWidget QToolButton:hover { background: #2F343C; }"
    "QCalendarWidget QToolButton::menu-indicator { image: none; }"
    "QCalendarWidget QMenu { background: #1E2126; color: #E8EAED; }"
    "QCalendarWidget QSpinBox { background: #1E2126; color: #E8EAED; border: none;"
    "  selection-background-color: #2F6FEB; }"
    "QCalendarWidget QAbstractItemView { background: #1E2126; color: #E8EAED; outline: 0;"
    "  selection-background-color: #2F6FEB; selection-color: #FFFFFF; }"
    "QCalendarWidget QAbstractItemView:disabled { color: #5A6069; }";

}  // namespace

int64_t LocalMidnight(const QDate& date) {
  struct tm lt {};
  lt.tm_year = date.year() - 1900;
  lt.tm_mon = date.month() - 1;
  lt.tm_mday = date.day();
  lt.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&lt));
}

CmyMonthCalCtrl::CmyMonthCalCtrl(QWidget* parent) : QCalendarWidget(parent) {
  // A popup takes every mouse event while shown and closes on a click outside it.
  setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
  setObjectName(QStringLiteral("DatePicker"));
  setGridVisible(false);
  setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
  setHorizontalHeaderFormat(QCalendarWidget::ShortDayNames);
  setFirstDayOfWeek(Qt::Monday);
  setStyleSheet(QString::fromLatin1(kPickerStyle));
  QTextCharFormat header;
  header.setForeground(QColor(0x8A, 0x90, 0x99));
  header.setBackground(QColor(0x1E, 0x21, 0x26));
  setHeaderTextFormat(header);
  QTextCharFormat weekend;
  weekend.setForeground(QColor(0xF2, 0x8B, 0x82));
  setWeekdayTextFormat(Qt::Saturday, weekend);
  setWeekdayTextFormat(Qt::Sunday, weekend);
  setMaximumDate(QDate::currentDate().addYears(1));
  // Plain chevrons instead of the style's arrow icons.
  for (const char* name : {"qt_calendar_prevmonth", "qt_calendar_nextmonth"}) {
    if (auto* b = findChild<QToolButton*>(QString::fromLatin1(name))) {
      b->setIcon(QIcon());
      b->setText(QString::fromUtf8(name[12] == 'p' ? "\u2039" : "\u203A"));
      b->setToolButtonStyle(Qt::ToolButtonTextOnly);
      QFont f = b->font();
      f.setPointSize(f.pointSize() + 6);
      b->setFont(f);
    }
  }
  resize(300, 230);
  connect(this, &QCalendarWidget::clicked, this, [this](QDate d) { Select(d); });
  connect(this, &QCalendarWidget::activated, this, [this](QDate d) { Select(d); });
}

void CmyMonthCalCtrl::ShowAt(const QPoint& bottom_right, const QDate& day) {
  if (day.isValid()) {
    setSelectedDate(day);
    setCurrentPage(day.year(), day.month());
  }
  move(bottom_right - QPoint(width(), height()));
  show();
  raise();
  activateWindow();
}

void CmyMonthCalCtrl::Select(const QDate& date) {
  if (!date.isValid()) return;
  setSelectedDate(date);
  hide();
  if (on_select_) on_select_(LocalMidnight(date));
}

void CmyMonthCalCtrl::showEvent(QShowEvent* e) {
  QCalendarWidget::showEvent(e);
  if (auto* view = findChild<QTableView*>()) view->setFocus();
}
