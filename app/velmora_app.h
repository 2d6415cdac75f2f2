// The application object: start-up (crash report, settings, log, service, sign-in, main window), the idle
// reset on every key and mouse input, and the end.
#pragma once

#include <QObject>
#include <memory>
#include <string>

class CVelmoraDlg;

class CVelmoraApp : public QObject {
 public:
  CVelmoraApp();
  ~CVelmoraApp() override;

  // Start-up in order; true when the main window exists. On false, exit_code() says how the program ends:
  // 1 after a failed initialisation (one message shown), 0 when the log-in dialog was cancelled.
  bool InitInstance();
  int ExitInstance();
  int exit_code() const { return exit_code_; }
  CVelmoraDlg* main_window() const { return main_.get(); }

 protected:
  // Every key and mouse input resets the main window's idle counter.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<CVelmoraDlg> main_;
  int exit_code_ = 0;
  // The application-data folder's lock, held while the program runs.
  int lock_fd_ = -1;
};

// Locks "velmora.lock" in folder for this process: the descriptor holding it, -1 when another running
// instance holds it. A folder where no lock can be made (no such folder, no locks there) is not refused: -2.
int LockDataFolder(const std::string& folder);

// True for the key and mouse inputs that count as activity.
bool IsActivityEvent(int qt_event_type);

// The one line said when no display can be opened, from the platform asked for (QT_QPA_PLATFORM; null or
// empty: X11) and the displays named by DISPLAY and WAYLAND_DISPLAY (null when unset).
std::string NoDisplayText(const char* platform, const char* x_display, const char* wayland_display);
