// The main window, for now a placeholder: the signed-in user, the dialogs of its menu, the idle counter and
// the window messages it takes (WM_UI_INVOKE, WM_PANE_SELECTED).
#pragma once

#include <QWidget>

#include "app/ui/window_registry.h"

class QLabel;

// Class name of the main window.
constexpr const char* kMainWindowClassName = "__VelmoraPlayer_Window_Class_Name_20200104__";
// Idle timer: every 5 s the counter grows by 5.
constexpr int kIdleTimerId = 21;
constexpr int kIdleTimerMs = 5000;

class CVelmoraDlg : public QWidget, public UiWindow {
 public:
  explicit CVelmoraDlg(QWidget* parent = nullptr);

  void ResetIdleCounter() { idle_counter_ = 0; }
  int idle_counter() const { return idle_counter_; }
  int selected_pane() const { return selected_pane_; }
  // One tick of the idle timer.
  void OnIdleTimer();

 protected:
  bool event(QEvent* e) override;
  void OnMessage(UiMessageEvent* event) override;
  void OnTimer(int id) override;

 private:
  int idle_counter_ = 0;
  int selected_pane_ = -1;
};
