// The main window, drawn from the skin (gui/gui.desc beside the program): the caption strip with the
// signed-in user and the window buttons, the toolbar's tooltips, the dialogs of the settings button, the
// idle counter and the window messages it takes (WM_UI_INVOKE, WM_PANE_SELECTED, WM_COMMAND).
#pragma once

#include <string>

#include "app/gui/bmpbtn_container.h"
#include "app/ui/window_registry.h"

class QLabel;

// Class name of the main window.
constexpr const char* kMainWindowClassName = "__VelmoraPlayer_Window_Class_Name_20200104__";
// Idle timer: every 5 s the counter grows by 5.
constexpr int kIdleTimerId = 21;
constexpr int kIdleTimerMs = 5000;
// Height of the caption strip that moves the window.
constexpr int kCaptionHeight = 32;

// The skin file of the main window: "gui/gui.desc" in the program's folder.
std::string MainWindowSkinPath();

class CVelmoraDlg : public CBmpbtnContainer {
 public:
  explicit CVelmoraDlg(QWidget* parent = nullptr);

  void ResetIdleCounter() { idle_counter_ = 0; }
  int idle_counter() const { return idle_counter_; }
  int selected_pane() const { return selected_pane_; }
  // One tick of the idle timer.
  void OnIdleTimer();
  bool skin_loaded() const { return skin_loaded_; }

  QString GetTooltipText(int index) const override;
  void DrawTextCallback(QPainter* p, int id, const QRect& rect, uint32_t align) override;

 protected:
  void OnMessage(UiMessageEvent* event) override;
  void OnTimer(int id) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  void OnCommand(int id);
  void ShowSettingsMenu();

  int idle_counter_ = 0;
  int selected_pane_ = -1;
  bool skin_loaded_ = false;
};
