#include "app/demo/demo_road_live.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QPixmap>
#include <chrono>

#include "app/demo/demo_driver.h"
#include "app/gui/play_controls.h"
#include "app/gui/video_grid.h"
#include "app/gui/video_pane.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "sdk/node/device_node.h"

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PostMouse(QWidget* target, QEvent::Type type, const QPoint& local, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
  QCoreApplication::postEvent(
      target, new QMouseEvent(type, QPointF(local), QPointF(target->mapToGlobal(local)), button, buttons,
                              Qt::NoModifier));
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string Seconds(int64_t ms) {
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

}  // namespace

DemoRoadLive::DemoRoadLive(CVelmoraDlg* window, std::string report_path)
    : window_(window), report_path_(std::move(report_path)) {}

void DemoRoadLive::Ok(const std::string& step, const std::string& detail) {
  steps_.push_back(step + ": ok" + (detail.empty() ? "" : " " + detail));
}

void DemoRoadLive::Fail(const std::string& step, const std::string& why) {
  std::string text = why;
  // A notice the controls showed tells why an operation failed.
  if (window_ && window_->play_controls() && !window_->play_controls()->last_notice().isEmpty())
    text += " (notice: " + window_->play_controls()->last_notice().toStdString() + ")";
  steps_.push_back(step + ": failed: " + text);
  failure_ += (failure_.empty() ? "" : "; ") + step + ": " + text;
}

void DemoRoadLive::ClickAt(const QPoint& pt) {
  QWidget* target = window_->childAt(pt);
  if (!target) target = window_.data();
  const QPoint local = target->mapFrom(window_.data(), pt);
  PostMouse(target, QEvent::MouseButtonPress, local, Qt::LeftButton, Qt::LeftButton);
  PostMouse(target, QEvent::MouseButtonRelease, local, Qt::LeftButton, Qt::NoButton);
}

int DemoRoadLive::ButtonState(int id) const {
  const int index = window_ ? window_->IndexFromId(id) : -1;
  return index >= 0 ? window_->GetButtonState(index) : 0;
}

std::string DemoRoadLive::PressButton(int id) {
  const int index = window_->IndexFromId(id);
  SkinRect r;
  if (index < 0 || !window_->GetButtonRect(index, &r, nullptr))
    return "the window has no button " + std::to_string(id);
  const int state = window_->GetButtonState(index);
  if (state & 8) return "button " + std::to_string(id) + " is hidden";
  if (!(state & 4)) return "button " + std::to_string(id) + " is disabled";
  const QPoint pt((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  if (QWidget* over = window_->childAt(pt))
    return "button " + std::to_string(id) + " is covered by " + over->metaObject()->className();
  // The first move leaves the button last used, the second one enters this one.
  PostMouse(window_.data(), QEvent::MouseMove, pt, Qt::NoButton, Qt::NoButton);
  PostMouse(window_.data(), QEvent::MouseMove, pt, Qt::NoButton, Qt::NoButton);
  PostMouse(window_.data(), QEvent::MouseButtonPress, pt, Qt::LeftButton, Qt::LeftButton);
  PostMouse(window_.data(), QEvent::MouseButtonRelease, pt, Qt::LeftButton, Qt::NoButton);
  return "";
}

std::set<std::string> DemoRoadLive::MediaFiles(const char* ext) const {
  std::set<std::string> out;
  const std::string folder = GetMediaFolder();
  DIR* dir = opendir(folder.c_str());
  if (!dir) return out;
  const std::string prefix = uuid_ + "-";
  const std::string suffix = ext;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      out.insert(folder + "/" + name);
  }
  closedir(dir);
  return out;
}

std::string DemoRoadLive::SettledNewFile(const char* ext) {
  for (const std::string& f : MediaFiles(ext)) {
    if (files_before_.count(f)) continue;
    const int64_t size = FileSize(f);
    if (size > 0 && f == growing_ && size == growing_size_) {
      growing_.clear();
      growing_size_ = -1;
      return f;
    }
    growing_ = f;
    growing_size_ = size;
    return "";
  }
  return "";
}

void DemoRoadLive::Recording(int64_t at) {
  const int64_t now = NowMs();
  // Talk: pressed, checked, pressed again, unchecked.
  if (!talk_started_ && at >= timing_.talk_from_ms) {
    talk_started_ = true;
    talk_press_ms_ = now;
    if (const std::string err = PressButton(kBtnTalk); !err.empty()) {
      Fail("talk", err);
      talk_done_ = true;
    }
  } else if (talk_started_ && !talk_checked_ && !talk_done_) {
    if (ButtonChecked(kBtnTalk)) {
      talk_checked_ = true;
      talk_on_ms_ = now;
    } else if (now - talk_press_ms_ > timing_.wait_ms) {
      Fail("talk", "the talk button did not turn on");
      talk_done_ = true;
    }
  } else if (talk_checked_ && !talk_stopped_ && at >= timing_.talk_until_ms) {
    talk_stopped_ = true;
    talk_press_ms_ = now;
    talk_on_ms_ = now - talk_on_ms_;
    if (const std::string err = PressButton(kBtnTalk); !err.empty()) {
      Fail("talk", "stopping: " + err);
      talk_done_ = true;
    }
  } else if (talk_stopped_ && !talk_done_) {
    if (!ButtonChecked(kBtnTalk)) {
      // Ending a talk gives the pane its sound back.
      if (ButtonChecked(kBtnAudio))
        Fail("talk", "the pane's sound stayed off after the talk");
      else
        Ok("talk", "for " + Seconds(talk_on_ms_) + ", sound on after it");
      talk_done_ = true;
    } else if (now - talk_press_ms_ > timing_.wait_ms) {
      Fail("talk", "the talk button stayed on after the second press");
      talk_done_ = true;
    }
  }

  // Pan-tilt: the pointer on the right of the pad, pressed and held, released.
  const int pad = window_->IndexFromId(kBtnPtzPad);
  if (!ptz_pressed_ && at >= timing_.ptz_at_ms) {
    ptz_pressed_ = true;
    SkinRect r;
    const int state = ButtonState(kBtnPtzPad);
    if (pad < 0 || !window_->GetButtonRect(pad, &r, nullptr) || (state & 8) || !(state & 4)) {
      Fail("pan-tilt", "the pan-tilt pad is missing, hidden or disabled");
      ptz_released_ = true;
    } else {
      const QPoint pt((r.left + r.right) / 2 + (r.right - r.left) / 4, (r.top + r.bottom) / 2);
      QCursor::setPos(window_->mapToGlobal(pt));
      if (window_->play_controls()->GetPtzDirection() != kPtzRight) {
        Fail("pan-tilt", "the pointer could not be put on the right of the pad");
        ptz_released_ = true;
      } else {
        PostMouse(window_.data(), QEvent::MouseMove, pt, Qt::NoButton, Qt::NoButton);
        PostMouse(window_.data(), QEvent::MouseMove, pt, Qt::NoButton, Qt::NoButton);
        PostMouse(window_.data(), QEvent::MouseButtonPress, pt, Qt::LeftButton, Qt::LeftButton);
      }
    }
  } else if (ptz_pressed_ && !ptz_released_ && at >= timing_.ptz_at_ms + timing_.ptz_hold_ms) {
    ptz_released_ = true;
    SkinRect r;
    window_->GetButtonRect(pad, &r, nullptr);
    const QPoint pt((r.left + r.right) / 2 + (r.right - r.left) / 4, (r.top + r.bottom) / 2);
    PostMouse(window_.data(), QEvent::MouseButtonRelease, pt, Qt::LeftButton, Qt::NoButton);
    Ok("pan-tilt", "right pressed for " + std::to_string(timing_.ptz_hold_ms) + " ms");
  }

  // The window while it records and talks.
  if (!shot_taken_ && at >= timing_.shot_at_ms) {
    shot_taken_ = true;
    std::string shot = DemoScreenshotPath(report_path_);
    shot.insert(shot.size() - 4, "-live");
    if (window_->grab().save(QString::fromStdString(shot), "PNG"))
      Ok("screenshot while recording", shot);
    else
      Fail("screenshot while recording", "could not write " + shot);
  }
}

bool DemoRoadLive::Tick() {
  if (!window_) {
    Fail("window", "the main window went away");
    return true;
  }
  const int64_t now = NowMs();
  if (step_ms_ == 0) step_ms_ = now;
  const int64_t waited = now - step_ms_;
  auto next = [&](Step s) {
    step_ = s;
    step_ms_ = now;
  };
  CVideoListPane* grid = window_->grid();
  switch (step_) {
    case Step::kSelect: {
      CVideoWnd* pane = grid ? grid->Pane(0) : nullptr;
      if (!pane || !pane->GetDevice()) {
        Fail("select", "the first pane shows no device");
        return true;
      }
      uuid_ = pane->GetDevice()->Info().uuid;
      ClickAt(pane->mapTo(window_.data(), pane->rect().center()));
      next(Step::kSelected);
      break;
    }
    case Step::kSelected:
      if (grid->SelectedIndex() == 0 && (ButtonState(kBtnSnapshot) & 4)) {
        Ok("select", "pane 0: " + grid->Pane(0)->GetDevice()->Info().name + " (" + uuid_ + ")");
        files_before_ = MediaFiles(".jpg");
        const std::string err = PressButton(kBtnSnapshot);
        snapshot_pressed_ = err.empty();
        if (!snapshot_pressed_) Fail("snapshot", err);
        next(Step::kSnapshot);
      } else if (waited > timing_.wait_ms) {
        Fail("select", "a click on the first pane did not select it with its buttons enabled");
        return true;
      }
      break;
    case Step::kSnapshot: {
      const std::string file = snapshot_pressed_ ? SettledNewFile(".jpg") : "";
      if (!file.empty() || !snapshot_pressed_ || waited > timing_.wait_ms) {
        if (!file.empty())
          Ok("snapshot", file);
        else if (snapshot_pressed_)
          Fail("snapshot", "no new picture of the device in " + GetMediaFolder());
        files_before_ = MediaFiles(".mp4");
        growing_.clear();
        if (const std::string err = PressButton(kBtnRecord); !err.empty()) {
          Fail("record", err);
          return true;
        }
        next(Step::kRecordStart);
      }
      break;
    }
    case Step::kRecordStart:
      if (ButtonChecked(kBtnRecord)) {
        record_ms_ = now;
        next(Step::kRecording);
      } else if (waited > timing_.wait_ms) {
        Fail("record", "the record button did not turn on");
        return true;
      }
      break;
    case Step::kRecording: {
      const int64_t at = now - record_ms_;
      Recording(at);
      if (!ButtonChecked(kBtnRecord)) {
        Fail("record", "the recording stopped by itself after " + Seconds(at));
        return true;
      }
      const bool rest_done = talk_done_ && ptz_released_ && shot_taken_;
      if (at >= timing_.record_ms && (rest_done || at >= timing_.record_ms + timing_.wait_ms)) {
        if (!rest_done) Fail("talk", "the talk button did not answer in time");
        if (const std::string err = PressButton(kBtnRecord); !err.empty()) {
          Fail("record", "stopping: " + err);
          return true;
        }
        recorded_ms_ = at;
        next(Step::kRecordStop);
      }
      break;
    }
    case Step::kRecordStop:
      if (!ButtonChecked(kBtnRecord)) {
        next(Step::kRecordFile);
      } else if (waited > timing_.wait_ms) {
        Fail("record", "the record button stayed on after the second press");
        return true;
      }
      break;
    case Step::kRecordFile: {
      const std::string file = SettledNewFile(".mp4");
      if (!file.empty()) {
        Ok("record", file + " for " + Seconds(recorded_ms_));
        return true;
      }
      if (waited > timing_.wait_ms) {
        Fail("record", "no new recording of the device in " + GetMediaFolder());
        return true;
      }
      break;
    }
    case Step::kDone:
      return true;
  }
  return false;
}
