#include "app/demo/demo_driver.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "app/app_state.h"
#include "app/demo/demo_road.h"
#include "app/gui/device_row.h"
#include "app/gui/video_grid.h"
#include "app/gui/video_pane.h"
#include "app/main_window.h"
#include "sdk/node/device_node.h"
#include "util/log.h"

namespace {

constexpr int kTickMs = 200;
constexpr int kDemoPanes = 4;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Rejects every message box or dialog that waits; the texts of message boxes, for the report.
std::string CloseWaitingDialogs() {
  std::string texts;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(w);
    if (!dialog || !dialog->isVisible()) continue;
    if (auto* box = qobject_cast<QMessageBox*>(dialog))
      texts += (texts.empty() ? "" : "; ") + box->text().simplified().toStdString();
    dialog->reject();
  }
  return texts;
}

// The grid of panes in the window, if it has one (the grid is no Q_OBJECT class: findChild cannot tell it).
CVideoListPane* GridOf(QWidget* window) {
  if (!window) return nullptr;
  for (QWidget* w : window->findChildren<QWidget*>())
    if (auto* grid = dynamic_cast<CVideoListPane*>(w)) return grid;
  return nullptr;
}

std::string PaneLine(int index, CVideoWnd* pane) {
  std::string line = "pane " + std::to_string(index) + ": ";
  DeviceNode* d = pane ? pane->GetDevice() : nullptr;
  line += d ? d->Info().name : std::string("(empty)");
  if (!pane) return line;
  line += ": ";
  const int state = pane->GetState();
  if (state == kPanePlaying) {
    line += "playing";
  } else if (state == kPaneNone) {
    line += "idle";
  } else {
    const QString text = pane->StatusText();
    line += text.isEmpty() ? "state " + std::to_string(state) : text.toStdString();
    if (pane->GetCode() != 0) line += " (" + std::to_string(pane->GetCode()) + ")";
  }
  return line;
}

}  // namespace

std::string DemoScreenshotPath(const std::string& report_path) {
  const size_t slash = report_path.find_last_of('/');
  const size_t dot = report_path.find_last_of('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (has_ext ? report_path.substr(0, dot) : report_path) + ".png";
}

std::string FormatDemoReport(const DemoSummary& s) {
  std::string out = "Velmora demo report\n";
  out += "signed in: " + (s.user.empty() ? std::string("no") : s.user) + "\n";
  out += "devices listed: " + std::to_string(s.devices.size()) + "\n";
  for (const std::string& d : s.devices) out += "  " + d + "\n";
  out += "grid panes: " + std::to_string(s.pane_count) + "\n";
  out += "opened: " + std::to_string(s.opened);
  if (!s.can_open) out += " (this build's main window does not open devices in panes yet)";
  out += "\n";
  for (const std::string& p : s.panes) out += "  " + p + "\n";
  out += "panes playing: " + std::to_string(s.playing) + "\n";
  out += "frames shown: " + std::to_string(s.frames_shown) + "\n";
  if (!s.road.empty()) {
    out += "road: " + s.road + "\n";
    for (const std::string& step : s.road_steps) out += "  " + step + "\n";
  }
  out += "screenshot: " + (s.screenshot.empty() ? std::string("none") : s.screenshot) + "\n";
  out += "result: " + (s.failure.empty() ? std::string("ok") : "failed: " + s.failure) + "\n";
  return out;
}

DemoDriver::DemoDriver(DemoOptions options) : options_(std::move(options)) { summary_.can_open = true; }

DemoDriver::~DemoDriver() = default;

void DemoDriver::Arm() {
  step_ = Step::kSignIn;
  QTimer::singleShot(options_.sign_in_timeout_ms, this, [this] {
    if (step_ != Step::kSignIn) return;
    summary_.failure = "the sign-in did not finish";
    // The log-in dialog or a message box waits: closing it ends start-up.
    const std::string boxes = CloseWaitingDialogs();
    if (!boxes.empty()) summary_.failure += " (" + boxes + ")";
  });
}

void DemoDriver::StartUpFailed() {
  if (summary_.failure.empty()) summary_.failure = "start-up ended without a main window (not signed in)";
  step_ = Step::kDone;
  Finish(summary_.failure);
}

void DemoDriver::Attach(CVelmoraDlg* window) {
  window_ = window;
  step_ = Step::kList;
  step_started_ms_ = NowMs();
  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, [this] { Tick(); });
  timer_->start(kTickMs);
}

void DemoDriver::Tick() {
  if (!window_) {
    Finish("the main window went away");
    return;
  }
  const int64_t waited = NowMs() - step_started_ms_;
  DeviceNodeList& nodes = ProcessDeviceNodes();
  switch (step_) {
    case Step::kList:
      // The rows are made on the GUI thread once the list was handed over.
      if (window_->device_list()->count() > 0 && !nodes.empty()) {
        step_ = Step::kOpen;
        OpenDevices();
      } else if (waited >= options_.list_timeout_ms) {
        Finish("no devices were listed");
      }
      break;
    case Step::kOpen:
      // An open blocks in a message box (an error box of a failed connect): it is closed and reported.
      if (waited >= options_.open_timeout_ms) {
        const std::string boxes = CloseWaitingDialogs();
        if (!boxes.empty()) boxes_ += (boxes_.empty() ? "" : "; ") + boxes;
        step_started_ms_ = NowMs();
      }
      break;
    case Step::kPlay: {
      CVideoListPane* grid = GridOf(window_.data());
      int playing = 0;
      for (int i = 0; grid && i < summary_.opened; ++i)
        if (CVideoWnd* p = grid->Pane(i); p && p->GetState() == kPanePlaying) ++playing;
      if (playing >= summary_.opened) {
        // The play time counts from the moment the last pane began to play.
        if (all_playing_ms_ == 0) all_playing_ms_ = NowMs();
        if (NowMs() - all_playing_ms_ >= options_.play_ms) {
          if (options_.road.empty()) {
            Finish("");
            break;
          }
          road_ = MakeDemoRoad(options_.road, window_.data(), options_.report_path);
          step_ = Step::kRoad;
          if (!road_) Finish("no road named " + options_.road);
        }
      } else if (waited >= options_.open_timeout_ms) {
        Finish(std::to_string(playing) + " of " + std::to_string(summary_.opened) + " panes play");
      } else {
        all_playing_ms_ = 0;
      }
      break;
    }
    case Step::kRoad: {
      // A box a control opened is closed and reported.
      const std::string boxes = CloseWaitingDialogs();
      if (!boxes.empty()) boxes_ += (boxes_.empty() ? "" : "; ") + boxes;
      if (road_->Tick()) Finish(road_->Failure());
      break;
    }
    default:
      break;
  }
}

void DemoDriver::OpenDevices() {
  DeviceNodeList& nodes = ProcessDeviceNodes();
  CVideoListPane* grid = GridOf(window_.data());
  int n = std::min<int>(kDemoPanes, static_cast<int>(nodes.size()));
  if (grid) n = std::min(n, grid->GetPaneCount());
  repaints_at_open_ = DemoPaneRepaints();
  if (summary_.can_open) {
    // Open each device in its own pane (the call blocks while the device connects).
    for (int i = 0; i < n && window_; ++i) {
      step_started_ms_ = NowMs();
      window_->OpenDeviceInPane(nodes[static_cast<size_t>(i)], i);
    }
    summary_.opened = n;
  }
  step_ = Step::kPlay;
  step_started_ms_ = NowMs();
}

void DemoDriver::Describe() {
  summary_.user = GetCurrentUser();
  summary_.devices.clear();
  for (DeviceNode* d : ProcessDeviceNodes()) {
    const DeviceInfo& info = d->Info();
    summary_.devices.push_back(info.name + " (" + info.uuid + ") " + (info.is_online ? "online" : "offline"));
  }
  summary_.panes.clear();
  summary_.playing = 0;
  CVideoListPane* grid = GridOf(window_.data());
  summary_.pane_count = grid ? grid->GetPaneCount() : 0;
  for (int i = 0; grid && i < summary_.pane_count; ++i) {
    CVideoWnd* pane = grid->Pane(i);
    summary_.panes.push_back(PaneLine(i, pane));
    if (pane && pane->GetState() == kPanePlaying) ++summary_.playing;
  }
  summary_.frames_shown = DemoPaneRepaints() - repaints_at_open_;
  summary_.road = options_.road;
  summary_.road_steps = road_ ? road_->Steps() : std::vector<std::string>();
}

void DemoDriver::Finish(const std::string& failure) {
  if (timer_) timer_->stop();
  const bool had_window = step_ != Step::kSignIn && step_ != Step::kDone;
  step_ = Step::kDone;
  summary_.failure = failure;
  if (!boxes_.empty())
    summary_.failure += (summary_.failure.empty() ? "" : "; ") + std::string("message boxes: ") + boxes_;
  Describe();
  if (window_ && had_window) {
    const std::string shot = DemoScreenshotPath(options_.report_path);
    if (window_->grab().save(QString::fromStdString(shot), "PNG")) {
      summary_.screenshot = shot;
      std::printf("velmora: demo screenshot %s\n", shot.c_str());
    } else if (summary_.failure.empty()) {
      summary_.failure = "the screenshot could not be written to " + shot;
    }
  }
  std::ofstream out(options_.report_path, std::ios::trunc);
  out << FormatDemoReport(summary_);
  out.close();
  if (!out) {
    std::fprintf(stderr, "velmora: the demo report could not be written to %s\n",
                 options_.report_path.c_str());
    if (summary_.failure.empty()) summary_.failure = "no report";
  } else {
    std::printf("velmora: demo report %s\n", options_.report_path.c_str());
  }
  std::fflush(stdout);
  succeeded_ = summary_.failure.empty() && !summary_.screenshot.empty() && static_cast<bool>(out);
  if (window_) window_->close();
}
