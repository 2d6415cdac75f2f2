// Drives the log-in dialog of start-up tests.
#pragma once

#include <QApplication>
#include <QTimer>
#include <functional>
#include <utility>
#include <vector>

#include "app/dialogs/login_dlg.h"
#include "app/ui/blocking_runner.h"

// Drives the log-in dialog each time it is idle on screen: one step per appearance; a dialog still open
// after the steps are used up is cancelled (the test then fails on what it expected).
class LoginDriver {
 public:
  using Step = std::function<void(CLoginDlg*)>;
  explicit LoginDriver(std::vector<Step> steps) : steps_(std::move(steps)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(10);
  }
  int shown() const { return shown_; }

 private:
  void Poll() {
    if (busy_ || IsBlocking()) return;
    auto* dlg = dynamic_cast<CLoginDlg*>(QApplication::activeModalWidget());
    if (!dlg) return;
    busy_ = true;
    ++shown_;
    if (next_ < steps_.size())
      steps_[next_++](dlg);
    else
      dlg->reject();
    busy_ = false;
  }
  std::vector<Step> steps_;
  size_t next_ = 0;
  int shown_ = 0;
  bool busy_ = false;
  QTimer timer_;
};
