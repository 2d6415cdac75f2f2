#include "app/gui/play_controls.h"

#include <unistd.h>

#include <QCursor>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/gui/bmpbtn_container.h"
#include "app/settings.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "sdk/cloudplay/cs_player.h"
#include "sdk/node/device_node.h"
#include "sdk/device/p2p_client.h"
#include "util/log.h"

namespace {

constexpr int kNoticeMs = 3000;
// Flags of the session's state and of the player's.
constexpr int kSessionSound = 0x04;
constexpr int kSessionRecording = 0x08;
constexpr int kSessionPip = 0x20;
constexpr int kPlayerSound = 0x02;
constexpr int kPlayerRecording = 0x04;

bool UnsafeNameChar(unsigned char c) { return c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':'; }

}  // namespace

int GetPtzDirection(const QRect& pad, const QPoint& cursor) {
  const int left = pad.x(), top = pad.y(), right = pad.x() + pad.width(), bottom = pad.y() + pad.height();
  if (cursor.x() < left || cursor.x() >= right || cursor.y() < top || cursor.y() >= bottom)
    return kPtzOutside;
  const int dx = cursor.x() - (left + (right - left) / 2);
  const int dy = cursor.y() - (top + (bottom - top) / 2);
  if (std::abs(dy) < std::abs(dx)) return dx >= 0 ? kPtzRight : kPtzLeft;
  return dy >= 0 ? kPtzDown : kPtzUp;
}

int PtzCodeOfQuadrant(int quadrant) {
  switch (quadrant) {
    case kPtzLeft:
      return 3;
    case kPtzRight:
      return 6;
    case kPtzUp:
      return 1;
    case kPtzDown:
      return 2;
    default:
      return -1;
  }
}

std::string MakeMediaFileName(const std::string& folder, time_t t, const std::string& uuid, const char* ext) {
  std::string safe = uuid;
  for (char& c : safe)
    if (UnsafeNameChar(static_cast<unsigned char>(c))) c = '_';
  struct tm lt {};
  localtime_r(&t, &lt);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                lt.tm_hour, lt.tm_min, lt.tm_sec);
  return folder + "/" + safe + "-" + stamp + (ext ? ext : "");
}

std::string UniqueMediaFileName(const std::string& name) {
  if (access(name.c_str(), F_OK) != 0) return name;
  const size_t slash = name.rfind('/');
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = name.size();
  for (int n = 1; n < 10000; ++n) {
    std::string candidate = name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
    if (access(candidate.c_str(), F_OK) != 0) return candidate;
  }
  return name;
}

CPlayControls::CPlayControls(CBmpbtnContainer* bar, PaneControl* pane, QWidget* owner)
    : bar_(bar), pane_(pane), owner_(owner) {
  clock_ = [] { return time(nullptr); };
  cursor_ = [this] { return bar_ ? bar_->mapFromGlobal(QCursor::pos()) : QPoint(); };
  folder_ = [] { return GetMediaFolder(); };
}

CPlayControls::~CPlayControls() { delete toast_; }

int CPlayControls::Index(int id) const { return bar_ ? bar_->IndexFromId(id) : -1; }

void CPlayControls::Enable(int id, bool on) {
  const int i = Index(id);
  if (i >= 0) bar_->SetButtonEnabled(i, on);
}

void CPlayControls::Check(int id, bool on) {
  const int i = Index(id);
  if (i >= 0) bar_->SetButtonChecked(i, on);
}

void CPlayControls::Show(int id, bool on) {
  const int i = Index(id);
  if (i >= 0) bar_->SetButtonVisible(i, on);
}

void CPlayControls::Notice(const QString& text) {
  last_notice_ = text;
  LogPrintf(kLogWarning, nullptr, "CPlayControls::Notice", "%s\n", text.toUtf8().constData());
  if (!toast_) toast_ = new CToast();
  toast_->Show(text, kNoticeMs, owner_);
}

bool CPlayControls::OnButtonEvent(int id, int event) {
  switch (id) {
    case kBtnPtzPad:
      OnPtzButton(event);
      return true;
    case kBtnAudio:
    case kBtnSnapshot:
    case kBtnRecord:
      CaptureOrRecord(id);
      return true;
    case kBtnCloseVideo:
      if (pane_->HasDevice()) pane_->CloseSelected();
      UpdateToolbarState();
      return true;
    case kBtnSpeed0:
    case kBtnSpeed1:
    case kBtnSpeed2:
      SetPlaybackSpeed(id);
      return true;
    case kBtnPip:
      TogglePip();
      return true;
    case kBtnExchange:
      ExchangePicture(0, 1);
      return true;
    case kBtnTalk:
      ToggleTalk();
      return true;
    case kBtnLens:
      SwitchLens();
      return true;
    default:
      return false;
  }
}

void CPlayControls::UpdateToolbarState() {
  if (!pane_->HasSelectedPane()) return;
  static const int kEight[] = {kBtnAudio,      kBtnSnapshot, kBtnRecord, kBtnTalk,
                               kBtnCloseVideo, kBtnSpeed0,   kBtnSpeed1, kBtnSpeed2};
  if (!pane_->HasDevice()) {
    for (int id : kEight) Enable(id, false);
    for (int id : {kBtnLens, kBtnPip, kBtnExchange}) Show(id, false);
    Enable(kBtnPtzPad, false);
    return;
  }
  for (int id : kEight) Enable(id, true);
  DeviceFeatures f{};
  const bool known = pane_->Features(&f);
  const uint32_t channels = known ? f.channel_count : 1;
  const uint32_t lenses = known ? f.zoom.lens_count : 0;
  if (mode_ == kPlayLive || mode_ == kPlaySd) {
    const int flags = pane_->SessionState();
    if (mode_ == kPlayLive) {
      Enable(kBtnPtzPad, flags != 0);
      if (channels > 1 && known && f.combined_streams) {
        Show(kBtnPip, true);
        Show(kBtnExchange, true);
        Check(kBtnPip, (flags & kSessionPip) != 0);
        Enable(kBtnExchange, (flags & kSessionPip) != 0);
      } else {
        Show(kBtnPip, false);
        Show(kBtnExchange, false);
      }
      Show(kBtnLens, channels == 1 && lenses == 2);
      Check(kBtnTalk, pane_->SessionTalks());
    } else {
      const bool pbrate = known && (f.ext_instructions & EXT_PBRATE);
      const int step = pane_->SessionSpeed();
      for (int k = 0; k < 3; ++k) {
        Show(kBtnSpeed0 + k, pbrate);
        Check(kBtnSpeed0 + k, pbrate && k == step);
      }
      for (int id : {kBtnLens, kBtnPip, kBtnExchange}) Show(id, false);
    }
    Check(kBtnAudio, (flags & kSessionSound) == 0);
    Check(kBtnRecord, (flags & kSessionRecording) != 0);
    return;
  }
  const int ps = pane_->PlayerState();
  Check(kBtnAudio, (ps & kPlayerSound) == 0);
  Check(kBtnRecord, (ps & kPlayerRecording) != 0);
  const int step = pane_->PlayerSpeed();
  for (int k = 0; k < 3; ++k) {
    Show(kBtnSpeed0 + k, true);
    // Only the step playing now is lit (a new day starts again at 1x).
    Check(kBtnSpeed0 + k, k == step);
  }
  for (int id : {kBtnLens, kBtnPip, kBtnExchange}) Show(id, false);
}

void CPlayControls::UpdateTalkButtons() {
  if (mode_ != kPlayLive) {
    Show(kBtnTalk, false);
    return;
  }
  DeviceFeatures f{};
  if (pane_->Features(&f) && f.channel_count == 1 && f.zoom.lens_count == 2) {
    float lens[3] = {0, 0, 0};
    if (pane_->GetLensParam(lens) < 0) lens[2] = 0;
    Show(kBtnLens, true);
    Check(kBtnLens, lens[2] > 0.9f);
  }
  Show(kBtnTalk, true);
}

std::string CPlayControls::NewFileName(time_t t, const char* ext) {
  // Nothing is written outside the media folder: without one there is no name.
  const std::string folder = folder_();
  if (folder.empty()) return std::string();
  return UniqueMediaFileName(MakeMediaFileName(folder, t, pane_->DeviceUuid(), ext));
}

void CPlayControls::SaveFailed(bool recording) {
  QString text = recording ? UiText("Recording failed", "录像失败") : UiText("Snapshot failed", "抓图失败");
  if (last_file_.empty()) {
    text += UiText(": the media folder %1 cannot be created", "：无法创建媒体文件夹 %1")
                .arg(QString::fromStdString(MediaFolderPath()));
  }
  Notice(text);
}

void CPlayControls::CaptureOrRecord(int id) {
  if (!pane_->HasDevice()) return;
  if (mode_ == kPlayLive || mode_ == kPlaySd) {
    if (id == kBtnAudio) {
      pane_->SessionMute(!pane_->SessionIsMuted());
    } else if (id == kBtnSnapshot) {
      last_file_ = NewFileName(clock_(), ".jpg");
      if (last_file_.empty() || !pane_->SessionSnapshot(last_file_)) SaveFailed(false);
    } else if (id == kBtnRecord) {
      const int flags = pane_->SessionState();
      if (flags & kSessionRecording) {
        pane_->SessionStopRecord();
      } else if (flags != 0) {
        last_file_ = NewFileName(clock_(), ".mp4");
        if (last_file_.empty() || !pane_->SessionStartRecord(last_file_)) SaveFailed(true);
      }
    }
  } else {
    const int ps = pane_->PlayerState();
    if (id == kBtnAudio) {
      pane_->PlayerMute((ps & kPlayerSound) != 0);
    } else if (id == kBtnSnapshot) {
      last_file_ = NewFileName(static_cast<time_t>(pane_->TimelineCursor()), ".jpg");
      if (last_file_.empty() || !pane_->PlayerSnapshot(last_file_)) SaveFailed(false);
    } else if (id == kBtnRecord) {
      if (ps & kPlayerRecording) {
        pane_->PlayerStopRecord();
      } else {
        last_file_ = NewFileName(static_cast<time_t>(pane_->TimelineCursor()), ".mp4");
        if (last_file_.empty() || !pane_->PlayerStartRecord(last_file_)) SaveFailed(true);
      }
    }
  }
  UpdateToolbarState();
}

void CPlayControls::ToggleTalk() {
  if (!pane_->HasDevice()) return;
  if (pane_->SessionTalks()) {
    pane_->TalkStop();
  } else {
    // One session talks at a time: while another one holds the capture this start fails.
    const bool held = pane_->TalkCaptureExists();
    const bool no_microphone = !held && !pane_->TalkCaptureCreate();
    bool ok = !held && !no_microphone;
    if (ok && !pane_->TalkCaptureAttach()) {
      pane_->TalkCaptureFree();
      ok = false;
    }
    if (!ok) {
      // A capture that cannot be made at all means no microphone opens, not another talker.
      last_notice_ = no_microphone ? UiText("No microphone could be opened.", "无法打开麦克风。")
                                   : LoadUiString(IDS_SOMEONE_TALKING);
      Check(kBtnTalk, false);
      ShowMessage(owner_, last_notice_, LoadUiString(IDS_ERROR), kBoxError);
    }
  }
  UpdateToolbarState();
}

void CPlayControls::SetPlaybackSpeed(int id) {
  const int step = id - kBtnSpeed0;
  if (step < 0 || step > 2) return;
  if (mode_ == kPlaySd) {
    if (pane_->SessionState() != 0) pane_->SessionSetSpeed(step);
  } else if (mode_ == kPlayCloud) {
    if (pane_->PlayerState() != 0) pane_->PlayerSetSpeed(step);
  }
  UpdateToolbarState();
}

void CPlayControls::TogglePip() {
  if (!pane_->HasDevice()) return;
  if (pane_->SessionState() & kSessionPip) {
    pane_->StopPipChannels();
    pane_->ShowPipWindows(false);
  } else {
    pane_->StartPipChannels();
    pane_->ShowPipWindows(true);
  }
  UpdateToolbarState();
}

void CPlayControls::ExchangePicture(int first, int second) {
  if (first == second || !pane_->HasDevice()) return;
  if (mode_ == kPlayLive) {
    if (pane_->SessionState() & kSessionPip) pane_->SwapChannels(first, second);
  } else if (mode_ == kPlayCloud) {
    pane_->PlayerSwapChannels(first, second);
  }
}

void CPlayControls::SwitchLens() {
  if (!pane_->HasDevice()) return;
  float lens[3] = {0, 0, 0};
  if (pane_->GetLensParam(lens) < 0) lens[2] = 0;
  const float next[3] = {-1.0f, -1.0f, lens[2] > 0.9f ? 0.0f : 1.0f};
  pane_->SetLensParam(next);
  UpdateToolbarState();
  UpdateTalkButtons();
}

int CPlayControls::GetPtzDirection() const {
  SkinRect r;
  if (!bar_ || !bar_->GetButtonRect(Index(kBtnPtzPad), &r, nullptr)) return kPtzOutside;
  return ::GetPtzDirection(QRect(r.left, r.top, r.right - r.left, r.bottom - r.top), cursor_());
}

void CPlayControls::OnPtzButton(int event) {
  if (!pane_->HasDevice()) return;
  if (event == 1) {
    const int code = PtzCodeOfQuadrant(GetPtzDirection());
    if (code >= 0) pane_->PtzControl(code);
  } else if (event == 2) {
    pane_->PtzControl(0);
  }
}

// --- DevicePaneControl ---

CP2pClient* DevicePaneControl::Session() {
  DeviceNode* d = Device();
  return d ? d->GetP2pClient() : nullptr;
}

CCsPlayerFw* DevicePaneControl::Player() {
  DeviceNode* d = Device();
  return d ? d->GetPlayer() : nullptr;
}

bool DevicePaneControl::HasSelectedPane() { return hooks_.has_selected_pane && hooks_.has_selected_pane(); }
bool DevicePaneControl::HasDevice() { return Device() != nullptr; }

std::string DevicePaneControl::DeviceUuid() {
  DeviceNode* d = Device();
  return d ? d->Info().uuid : std::string();
}

bool DevicePaneControl::Features(DeviceFeatures* out) {
  CP2pClient* s = Session();
  // Only a session that is up answers; the features are read once and kept.
  return s && s->HasSession() && s->GetFeatures(out) == 0;
}

int DevicePaneControl::SessionState() {
  CP2pClient* s = Session();
  return s ? s->GetState() : 0;
}

bool DevicePaneControl::SessionIsMuted() {
  CP2pClient* s = Session();
  return s && s->IsMuted();
}

void DevicePaneControl::SessionMute(bool mute) {
  if (CP2pClient* s = Session()) mute ? s->MuteAudio() : s->UnmuteAudio();
}

bool DevicePaneControl::SessionSnapshot(const std::string& path) {
  CP2pClient* s = Session();
  return s && s->Snapshot(path.c_str());
}

bool DevicePaneControl::SessionStartRecord(const std::string& path) {
  CP2pClient* s = Session();
  return s && s->StartRecord(path.c_str()) == 1;
}

void DevicePaneControl::SessionStopRecord() {
  if (CP2pClient* s = Session()) s->StopRecord();
}

int DevicePaneControl::SessionSpeed() {
  CP2pClient* s = Session();
  return s ? s->GetPlaybackSpeed() : 0;
}

int DevicePaneControl::SessionSetSpeed(int step) {
  CP2pClient* s = Session();
  return s ? s->SetPlaybackSpeed(step) : -1;
}

int DevicePaneControl::StartPipChannels() {
  CP2pClient* s = Session();
  return s ? s->StartPipChannels() : -1;
}

int DevicePaneControl::StopPipChannels() {
  CP2pClient* s = Session();
  return s ? s->StopPipChannels() : -1;
}

void DevicePaneControl::ShowPipWindows(bool show) {
  if (hooks_.show_pip_windows) hooks_.show_pip_windows(show);
}

bool DevicePaneControl::SwapChannels(int first, int second) {
  CP2pClient* s = Session();
  return s && s->SwapChannels(first, second);
}

int DevicePaneControl::GetLensParam(float lens[3]) {
  CP2pClient* s = Session();
  if (!s) return -1;
  uint8_t raw[12] = {};
  const int r = s->GetLensParam(raw);
  if (r >= 0) std::memcpy(lens, raw, sizeof raw);
  return r;
}

int DevicePaneControl::SetLensParam(const float lens[3]) {
  CP2pClient* s = Session();
  if (!s) return -1;
  uint8_t raw[12];
  std::memcpy(raw, lens, sizeof raw);
  return s->SetLensParam(raw);
}

int DevicePaneControl::PtzControl(int code) {
  CP2pClient* s = Session();
  return s ? s->PtzControl(code) : -1;
}

int DevicePaneControl::PlayerState() {
  CCsPlayerFw* p = Player();
  return p ? p->GetState() : 0;
}

void DevicePaneControl::PlayerMute(bool mute) {
  if (CCsPlayerFw* p = Player()) mute ? p->Mute() : p->Unmute();
}

bool DevicePaneControl::PlayerSnapshot(const std::string& path) {
  CCsPlayerFw* p = Player();
  return p && p->Snapshot(path.c_str());
}

bool DevicePaneControl::PlayerStartRecord(const std::string& path) {
  CCsPlayerFw* p = Player();
  return p && p->StartRecord(path.c_str()) == 1;
}

void DevicePaneControl::PlayerStopRecord() {
  if (CCsPlayerFw* p = Player()) p->StopRecord();
}

int DevicePaneControl::PlayerSpeed() {
  CCsPlayerFw* p = Player();
  return p ? p->GetSpeed() : 0;
}

int DevicePaneControl::PlayerSetSpeed(int step) {
  CCsPlayerFw* p = Player();
  return p ? p->SetSpeed(step) : -1;
}

void DevicePaneControl::PlayerSwapChannels(int first, int second) {
  if (CCsPlayerFw* p = Player()) p->SwapChannels(first, second);
}

bool DevicePaneControl::SessionTalks() {
  CP2pClient* s = Session();
  return s && hooks_.session_talks && hooks_.session_talks(s);
}

bool DevicePaneControl::TalkCaptureExists() { return hooks_.capture_exists && hooks_.capture_exists(); }
bool DevicePaneControl::TalkCaptureCreate() { return hooks_.capture_create && hooks_.capture_create(); }

bool DevicePaneControl::TalkCaptureAttach() {
  CP2pClient* s = Session();
  return s && hooks_.capture_attach && hooks_.capture_attach(s);
}

void DevicePaneControl::TalkStop() {
  CP2pClient* s = Session();
  if (s && hooks_.talk_stop) hooks_.talk_stop(s);
  if (s) s->UnmuteAudio();
}

void DevicePaneControl::TalkCaptureFree() {
  if (hooks_.capture_free) hooks_.capture_free();
}

void DevicePaneControl::CloseSelected() {
  if (hooks_.close_selected) hooks_.close_selected();
}

int64_t DevicePaneControl::TimelineCursor() { return hooks_.timeline_cursor ? hooks_.timeline_cursor() : 0; }
