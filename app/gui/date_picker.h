// The date picker of the playback modes: a popup month calendar that holds the mouse while shown. A click
// outside it hides it; picking a day hides it and hands the day's local midnight to the main window.
#pragma once

#include <QCalendarWidget>
#include <QDate>
#include <cstdint>
#include <functional>

class CmyMonthCalCtrl : public QCalendarWidget {
 public:
  explicit CmyMonthCalCtrl(QWidget* parent = nullptr);

  // Called with the chosen day at local midnight (00:00:00), after the picker hid.
  void SetOnSelect(std::function<void(int64_t day_start)> on_select) { on_select_ = std::move(on_select); }
  // Shows the picker with its bottom-right corner at the given global point, on top, open at the given day
  // (the timeline's) when it is valid.
  void ShowAt(const QPoint& bottom_right, const QDate& day = QDate());
  // Picks a day as a click on it would.
  void Select(const QDate& date);

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  std::function<void(int64_t)> on_select_;
};

// Local midnight of a date.
int64_t LocalMidnight(const QDate& date);
