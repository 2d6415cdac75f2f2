#include "app/demo/demo_road_playback.h"

#include <time.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QCalendarWidget>
#include <QDate>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "app/app_state.h"
#include "app/gui/date_picker.h"
#include "app/gui/device_row.h"
#include "app/gui/timeline.h"
#include "app/gui/video_grid.h"
#include "app/gui/video_pane.h"
#include "app/main_window.h"
#include "app/play_mode.h"
#include "sdk/node/device_node.h"

namespace {

// The window's buttons the road presses.
constexpr int kBtnLive = 1007;
constexpr int kBtnSd = 1008;
constexpr int kBtnCloud = 1009;
constexpr int kBtnDate = 1010;
// Pictures a step wants to see drawn after a start or a seek.
constexpr uint64_t kMinPictures = 10;
// Seconds the shown time may run ahead of the picked time by the time the road looks.
constexpr int64_t kFollowSlack = 120;

std::string Clock(int64_t t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm lt {};
  localtime_r(&tt, &lt);
  char buf[32];
  return std::string(buf, std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &lt));
}

// A mouse event as the window system delivers it: moves carry the held buttons, presses and releases the
// button that changed.
void SendMouse(QWidget* w, QEvent::Type type, const QPoint& at, Qt::MouseButton button) {
  const bool move = type == QEvent::MouseMove;
  const Qt::MouseButtons held =
      type == QEvent::MouseButtonRelease ? Qt::MouseButtons() : Qt::MouseButtons(button);
  QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)), move ? Qt::NoButton : button, held,
                Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

}  // namespace

std::string RoadScreenshotPath(const std::string& report_path, const std::string& tag) {
  const std::string png = DemoScreenshotPath(report_path);
  return png.substr(0, png.size() - 4) + "-" + tag + ".png";
}

std::string FormatRoadReport(const std::string& user, const std::vector<RoadStep>& steps,
                             const std::vector<std::string>& boxes, const std::vector<std::string>& shots) {
  std::string out = "Velmora road: playback\n";
  out += "signed in: " + (user.empty() ? std::string("no") : user) + "\n";
  bool ok = !steps.empty();
  std::string first_failure;
  for (const RoadStep& s : steps) {
    out += "step " + s.name + ": " + (s.ok ? "ok" : "failed: ") + (s.ok && !s.detail.empty() ? " " : "") +
           s.detail + "\n";
    if (!s.ok && ok) first_failure = s.name;
    ok = ok && s.ok;
  }
  out += "message boxes: " + std::to_string(boxes.size()) + "\n";
  for (const std::string& b : boxes) out += "  " + b + "\n";
  for (const std::string& s : shots) out += "screenshot: " + s + "\n";
  out += "result: " +
         (ok ? std::string("ok") : "failed at " + (first_failure.empty() ? "start" : first_failure)) + "\n";
  return out;
}

DemoRoadPlayback::DemoRoadPlayback(DemoOptions options, PlaybackRoadOptions road)
    : DemoDriver(std::move(options)), road_(std::move(road)) {}

void DemoRoadPlayback::Attach(CVelmoraDlg* window) {
  SignInDone();
  window_ = window;
  // Message boxes of the road are closed as they show (also inside their own event loop) and listed.
  auto* boxes = new QTimer(this);
  connect(boxes, &QTimer::timeout, this, [this] { CloseBoxes(); });
  boxes->start(300);
  QTimer::singleShot(0, this, [this] { Run(); });
}

void DemoRoadPlayback::CloseBoxes() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box || !box->isVisible()) continue;
    boxes_.push_back(
        (box->windowTitle().isEmpty() ? std::string() : box->windowTitle().toStdString() + ": ") +
        box->text().simplified().toStdString());
    box->reject();
  }
}

void DemoRoadPlayback::Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool DemoRoadPlayback::WaitFor(const std::function<bool()>& done, int timeout_ms) {
  QElapsedTimer t;
  t.start();
  while (window_) {
    if (done()) return true;
    if (t.elapsed() >= timeout_ms) return false;
    Wait(50);
  }
  return false;
}

void DemoRoadPlayback::Step(const std::string& name, bool ok, const std::string& detail) {
  steps_.push_back({name, ok, detail});
  std::printf("velmora: road step %s: %s%s%s\n", name.c_str(), ok ? "ok" : "failed: ", ok ? " " : "",
              detail.c_str());
  std::fflush(stdout);
}

bool DemoRoadPlayback::ClickButton(int id, std::string* why) {
  const int index = window_->IndexFromId(id);
  SkinRect r;
  if (index < 0 || !window_->GetButtonRect(index, &r, nullptr)) {
    *why = "the window has no button " + std::to_string(id);
    return false;
  }
  if (!(window_->GetButtonState(index) & 4)) {
    *why = "button " + std::to_string(id) + " is disabled";
    return false;
  }
  const QPoint at((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  // The first move leaves the button the pointer was last on, the second one enters this one.
  SendMouse(window_, QEvent::MouseMove, at, Qt::NoButton);
  SendMouse(window_, QEvent::MouseMove, at, Qt::NoButton);
  SendMouse(window_, QEvent::MouseButtonPress, at, Qt::LeftButton);
  if (window_) SendMouse(window_, QEvent::MouseButtonRelease, at, Qt::LeftButton);
  return true;
}

DeviceNode* DemoRoadPlayback::OpenFromList(const std::string& name, std::string* why) {
  CDeviceListCtrl* list = window_->device_list();
  for (int row = 0; list && row < list->count(); ++row) {
    DeviceNode* d = list->RowDevice(row);
    if (!d || d->Info().name != name) continue;
    QListWidgetItem* item = list->item(row);
    list->scrollToItem(item);
    const QPoint at = list->visualItemRect(item).center();
    QWidget* view = list->viewport();
    SendMouse(view, QEvent::MouseButtonPress, at, Qt::LeftButton);
    SendMouse(view, QEvent::MouseButtonRelease, at, Qt::LeftButton);
    SendMouse(view, QEvent::MouseButtonDblClick, at, Qt::LeftButton);
    if (window_) SendMouse(view, QEvent::MouseButtonRelease, at, Qt::LeftButton);
    return d;
  }
  *why = "no row of the device list is \"" + name + "\"";
  return nullptr;
}

void DemoRoadPlayback::DragTimeline(int dx) {
  CTimelineWnd* tl = window_->timeline();
  const int y = tl->height() / 2;
  QPoint at(tl->width() / 2, y);
  SendMouse(tl, QEvent::MouseButtonPress, at, Qt::LeftButton);
  constexpr int kStep = 40;
  for (int moved = 0; moved != dx && window_;) {
    const int step = dx > 0 ? std::min(kStep, dx - moved) : std::max(-kStep, dx - moved);
    moved += step;
    at.setX(tl->width() / 2 + moved);
    SendMouse(tl, QEvent::MouseMove, at, Qt::LeftButton);
    Wait(15);
  }
  // Held still before letting go: the last sample is where the button comes up, so nothing flings.
  Wait(260);
  if (!window_) return;
  SendMouse(tl, QEvent::MouseMove, at, Qt::LeftButton);
  SendMouse(tl, QEvent::MouseButtonRelease, at, Qt::LeftButton);
}

bool DemoRoadPlayback::FollowsFrom(int64_t picked, bool first_picture_event, std::string* detail) {
  CTimelineWnd* tl = window_->timeline();
  CVideoWnd* pane = window_->grid()->Pane(0);
  if (!WaitFor([&] { return !tl->settling(); }, 3000)) {
    *detail = "the timeline did not settle after the drag";
    return false;
  }
  const uint64_t pictures0 = DemoPaneRepaints();
  const bool ok = WaitFor(
      [&] {
        return tl->cursor_time() > picked + 1 && DemoPaneRepaints() - pictures0 >= kMinPictures &&
               (!first_picture_event || pane->GetState() == kPanePlaying);
      },
      road_.step_timeout_ms);
  if (!window_) return false;
  const int64_t shown = tl->cursor_time();
  const uint64_t pictures = DemoPaneRepaints() - pictures0;
  *detail =
      "picked " + Clock(picked) + ", shown " + Clock(shown) + ", " + std::to_string(pictures) + " pictures";
  if (!ok) {
    if (shown <= picked + 1) *detail += "; the time did not run on";
    if (pictures < kMinPictures) *detail += "; too few pictures";
    if (first_picture_event && pane->GetState() != kPanePlaying)
      *detail += "; pane: " + (pane->StatusText().isEmpty() ? "state " + std::to_string(pane->GetState())
                                                            : pane->StatusText().toStdString());
    return false;
  }
  if (shown > picked + kFollowSlack) {
    *detail += "; the time ran away from the picked time";
    return false;
  }
  return true;
}

bool DemoRoadPlayback::Shoot(const std::string& tag) {
  const std::string path = RoadScreenshotPath(options_.report_path, tag);
  if (!window_ || !window_->grab().save(QString::fromStdString(path), "PNG")) return false;
  shots_.push_back(path);
  return true;
}

void DemoRoadPlayback::Run() {
  std::string why;
  const bool listed =
      WaitFor([&] { return window_->device_list()->count() > 0 && !ProcessDeviceNodes().empty(); },
              road_.step_timeout_ms);
  Step("list", listed,
       listed ? std::to_string(window_->device_list()->count()) + " devices" : "no devices listed");
  if (listed && RunSd() && RunCloud()) RunReconnect();
  End();
}

bool DemoRoadPlayback::RunSd() {
  std::string why;
  if (!ClickButton(kBtnSd, &why) || window_->play_mode() != kPlaySd) {
    Step("sd-mode", false, why.empty() ? "the SD-card button did not switch the mode" : why);
    return false;
  }
  if (!OpenFromList(road_.playback_camera, &why)) {
    Step("sd-open", false, why);
    return false;
  }
  CTimelineWnd* tl = window_->timeline();
  CVideoWnd* pane = window_->grid()->Pane(0);
  // Opening plays the day from its first recording.
  const uint64_t pictures0 = DemoPaneRepaints();
  int64_t first = 0;
  const bool opened = WaitFor(
      [&] {
        if (!tl->HasList()) return false;
        if (first == 0) first = tl->cursor_time();
        return tl->cursor_time() > first && pane->GetState() == kPanePlaying &&
               DemoPaneRepaints() - pictures0 >= kMinPictures;
      },
      road_.step_timeout_ms);
  Step("sd-open", opened,
       opened ? road_.playback_camera + ", day list from " + Clock(first)
              : (tl->HasList() ? "no playback of the day's first recording (pane: " +
                                     std::to_string(pane->GetState()) + ")"
                               : "no recordings on the timeline"));
  if (!opened) return false;
  // A time picked an hour and five minutes on (5 seconds a pixel, dragging left goes forward), then two
  // hours further.
  DragTimeline(-(3900 / 5));
  int64_t picked = tl->cursor_time();
  std::string detail;
  bool ok = FollowsFrom(picked, true, &detail);
  Step("sd-pick", ok, detail);
  if (!ok) return false;
  Wait(500);
  Shoot("sd");
  DragTimeline(-(7200 / 5));
  picked = tl->cursor_time();
  ok = FollowsFrom(picked, true, &detail);
  Step("sd-seek", ok, detail);
  return ok;
}

bool DemoRoadPlayback::RunCloud() {
  std::string why;
  if (!ClickButton(kBtnCloud, &why) || window_->play_mode() != kPlayCloud) {
    Step("cloud-mode", false, why.empty() ? "the cloud button did not switch the mode" : why);
    return false;
  }
  if (!OpenFromList(road_.playback_camera, &why)) {
    Step("cloud-open", false, why);
    return false;
  }
  // Yesterday from the date picker: the button shows it, a click on the day picks it.
  if (!ClickButton(kBtnDate, &why)) {
    Step("cloud-day", false, why);
    return false;
  }
  QCalendarWidget* picker = window_->date_picker();
  if (!WaitFor([&] { return picker->isVisible(); }, 2000)) {
    Step("cloud-day", false, "the date button did not show the date picker");
    return false;
  }
  const QDate day = QDate::currentDate().addDays(-1);
  if (picker->monthShown() != day.month())
    if (auto* prev = picker->findChild<QToolButton*>(QStringLiteral("qt_calendar_prevmonth"))) prev->click();
  auto* view = picker->findChild<QTableView*>();
  QModelIndex cell;
  // The month's day: days of the month before come first, those of the next one last.
  for (int r = 0; view && r < view->model()->rowCount(); ++r)
    for (int c = 0; c < view->model()->columnCount(); ++c) {
      const QModelIndex i = view->model()->index(r, c);
      if (view->model()->data(i).toString() != QString::number(day.day())) continue;
      if (!cell.isValid() || day.day() >= 15) cell = i;
    }
  if (!cell.isValid()) {
    Step("cloud-day", false, "the date picker shows no cell for " + day.toString(Qt::ISODate).toStdString());
    return false;
  }
  CTimelineWnd* tl = window_->timeline();
  const QPoint at = view->visualRect(cell).center();
  SendMouse(view->viewport(), QEvent::MouseButtonPress, at, Qt::LeftButton);
  SendMouse(view->viewport(), QEvent::MouseButtonRelease, at, Qt::LeftButton);
  const int64_t day_start = LocalDayStart(tl->cursor_time());
  if (picker->isVisible() || !tl->HasList() || day_start != LocalMidnight(day)) {
    Step("cloud-day", false,
         "picking " + day.toString(Qt::ISODate).toStdString() +
             (picker->isVisible() ? " left the picker open"
              : tl->HasList()     ? " shows another day"
                                  : " put no recordings on the timeline"));
    return false;
  }
  std::string detail;
  // The cloud player reports no first picture: the pane keeps its state while pictures are drawn.
  const bool ok = FollowsFrom(tl->cursor_time(), false, &detail);
  Step("cloud-day", ok, day.toString(Qt::ISODate).toStdString() + ": " + detail);
  return ok;
}

bool DemoRoadPlayback::RunReconnect() {
  std::string why;
  if (!ClickButton(kBtnLive, &why) || window_->play_mode() != kPlayLive) {
    Step("live-mode", false, why.empty() ? "the live button did not switch the mode" : why);
    return false;
  }
  DeviceNode* device = OpenFromList(road_.reconnect_camera, &why);
  if (!device) {
    Step("live-open", false, why);
    return false;
  }
  CVideoWnd* pane = nullptr;
  const bool playing = WaitFor(
      [&] {
        pane = window_->opener().FindPaneOfDevice(device);
        return pane && pane->GetState() == kPanePlaying;
      },
      road_.step_timeout_ms);
  Step("live-open", playing, road_.reconnect_camera + (playing ? " plays" : " does not play"));
  if (!playing) return false;
  const int index = pane->GetIndex();
  const std::string id = device->Info().p2p_id;
  std::printf("velmora: road kill %s\n", id.c_str());
  std::fflush(stdout);
  QElapsedTimer since_kill;
  since_kill.start();
  const bool counting = WaitFor([&] { return pane->Countdown() > 0; }, road_.countdown_timeout_ms);
  Step("live-countdown", counting,
       counting ? "after " + std::to_string(since_kill.elapsed() / 1000) +
                      " s: " + pane->StatusText().toStdString()
                : "no countdown (pane: " + pane->StatusText().toStdString() + ")");
  if (!counting) return false;
  // The camera comes back while the pane counts down.
  std::printf("velmora: road restart %s\n", id.c_str());
  std::fflush(stdout);
  Wait(300);
  Shoot("countdown");
  // The reconnect runs from the pane's timer with the window live: a timer shoots the pane while it says so.
  QTimer watch;
  bool shot_reconnecting = false;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!shot_reconnecting && (pane->Reconnecting() || pane->GetState() == kPaneConnecting))
      shot_reconnecting = Shoot("reconnecting");
  });
  watch.start(50);
  // The countdown ends in a reconnect of the same pane (run from the pane's timer); it plays again with new
  // pictures.
  const bool reconnected = WaitFor([&] { return pane->Countdown() == 0; }, (pane->Countdown() + 3) * 1000);
  const uint64_t pictures0 = DemoPaneRepaints();
  bool failed = false;
  const bool again = reconnected &&
                     WaitFor(
                         [&] {
                           failed = pane->GetState() == kPaneReconnectFailed;
                           return failed || (window_->grid()->Pane(index)->GetDevice() == device &&
                                             pane->GetState() == kPanePlaying &&
                                             DemoPaneRepaints() - pictures0 >= kMinPictures);
                         },
                         road_.step_timeout_ms) &&
                     !failed;
  watch.stop();
  Shoot("after-reconnect");
  Step("live-reconnect", again,
       again         ? "plays again"
       : failed      ? "the reconnect failed: " + pane->StatusText().toStdString()
       : reconnected ? "no pictures after the reconnect (pane state " + std::to_string(pane->GetState()) + ")"
                     : "the countdown did not end in a reconnect");
  return again;
}

void DemoRoadPlayback::End() {
  CloseBoxes();
  const std::string report = FormatRoadReport(GetCurrentUser(), steps_, boxes_, shots_);
  std::ofstream out(options_.report_path, std::ios::trunc);
  out << report;
  out.close();
  if (out) std::printf("velmora: demo report %s\n", options_.report_path.c_str());
  std::fflush(stdout);
  succeeded_ = out && report.find("\nresult: ok\n") != std::string::npos;
  if (window_) window_->close();
}
