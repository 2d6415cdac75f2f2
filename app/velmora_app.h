// The application object: start-up (crash report, settings, log, service, sign-in, main window), the idle
// reset on every key and mouse input, and the end.
#pragma once

#include <QObject>
#include <memory>

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
};

// True for the key and mouse inputs that count as activity.
bool IsActivityEvent(int qt_event_type);
