#include "app/device_open.h"

#include <QApplication>
#include <QCursor>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "app/app_state.h"
#include "app/settings.h"
#include "app/ui/blocking_runner.h"
#include "app/ui/error_text.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "media/audio/aec_capture.h"
#include "media/sink/av_render.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/node/device_node.h"
#include "sdk/device/p2p_client.h"
#include "sdk/device/rvs_transport.h"

// The talk glue's view of a CP2pClient.
class P2pTalkSession : public TalkSession {
 public:
  explicit P2pTalkSession(CP2pClient* client) : client_(client) {}
  int StartTalk() override { return client_->StartTalk(); }
  int StopTalk() override { return client_->StopTalk(); }
  int SendTalkData(int32_t codec, const uint8_t* data, uint32_t length) override {
    return client_->SendTalkData(codec, data, static_cast<int>(length));
  }

 private:
  CP2pClient* client_;
};

namespace {

bool g_main_for_sub = false;

bool PostAvEvent(AvWindow window, uint32_t message, int32_t event, int32_t value) {
  return PostMessage(static_cast<HWND>(window), message, static_cast<WPARAM>(static_cast<intptr_t>(event)),
                     static_cast<LPARAM>(value));
}

}  // namespace

bool& MainStreamForSubPictures() { return g_main_for_sub; }

void InstallMediaSinks() {
  AvSetEventPoster(PostAvEvent);
  AvRenderOpsInit();
}

bool ChannelWantsSubStream(int pane_count, int channel, bool main_for_sub) {
  return pane_count > 1 || (channel > 0 && !main_for_sub);
}

QString DeviceErrorText(int code) {
  switch (code) {
    case KIVO_ERR_MAX_CONNECTIONS:
      return LoadUiString(IDS_MAX_CONNECTIONS);
    case KIVO_ERR_SESSION_TIMEOUT:
      return LoadUiString(IDS_SESSION_TIMEOUT);
    case KIVO_ERR_OFFLINE:
      return LoadUiString(IDS_DEVICE_OFFLINE);
    case KIVO_ERR_TIMEOUT:
      return LoadUiString(IDS_CONNECT_TIMEOUT);
    case KIVO_ERR_CLOSED:
      return LoadUiString(IDS_CONNECTION_BROKEN);
    case KIVO_ERR_AUTH:
      return LoadUiString(IDS_AUTH_FAILURE);
    default: {
      // The P2P library's text where it has one, else "Error: %d" and what the code means.
      const QString text = QString::fromUtf8(rvsErrorText(code));
      if (!text.startsWith(QStringLiteral("Error: "))) return text;
      return text + QStringLiteral("\n") + ConnectErrorMeaning(code);
    }
  }
}

QString NoSdCardText() { return UiText("The device has no SD card.", "设备没有SD卡"); }

// ---- opener ----

CDeviceOpener::CDeviceOpener(QWidget* grid_parent, DeviceOpenUi* ui) : ui_(ui) {
  if (!ui_) {
    default_ui_ = std::make_unique<DeviceOpenUi>();
    ui_ = default_ui_.get();
  }
  keep_connection_ = ReadConfigInt("config", "keep_connection", 1) != 0;
  dont_check_online_ = ReadConfigInt("config", "dont_check_online", 0) != 0;
  grid_size_ = ViewLayoutSide(ReadConfigInt("config", "view", 1));
  grid_ = new CVideoListPane(grid_parent, this);
  grid_->LayoutPanes(grid_size_, grid_size_);
}

CDeviceOpener::~CDeviceOpener() {
  // The capture thread never outlives the opener that made it.
  EndTalk();
  // The grid goes with its parent; without one it is ours.
  if (grid_ && !grid_->parentWidget()) delete grid_;
}

void CDeviceOpener::set_grid_size(int n) {
  grid_size_ = ViewLayoutSide(n);
  if (play_mode_ == kPlayLive) grid_->LayoutPanes(grid_size_, grid_size_);
}

int CDeviceOpener::RunDeviceOp(const std::function<int()>& op) {
  ++busy_;
  const int r = RunBlocking(op);
  --busy_;
  return r;
}

void CDeviceOpener::StopPlayer(CCsPlayerFw* player) {
  // Its threads are joined: waited for off the GUI thread.
  RunDeviceOp([player] {
    player->Stop();
    return 0;
  });
}

void CDeviceOpener::SetWaitCursor(bool on) {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return;
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

CVideoWnd* CDeviceOpener::FindPaneOfDevice(DeviceNode* device) const {
  if (!device) return nullptr;
  const int count = grid_->GetPaneCount();
  for (int i = 0; i < count; ++i)
    if (grid_->Pane(i)->GetDevice() == device) return grid_->Pane(i);
  return nullptr;
}

int CDeviceOpener::ConnectDevice(DeviceNode* device, CVideoWnd* pane) {
  SetWaitCursor(true);
  if (pane) pane->SetState(kPaneConnecting, 0);
  CP2pClient* client = device->GetP2pClient();
  int r = RunDeviceOp([device, client] {
    // A preload connect of the device list, when one runs, is awaited and its result taken.
    device->JoinConnectThread();
    const int result = client->HasSession() ? 0 : device->Connect();
    if (result != 0) return result;
    static const uint8_t kZero[8] = {};
    client->SendCommand(kCmdAfterConnect, kZero, sizeof kZero, nullptr, 0, 1000);
    return client->GetFeatures(nullptr);
  });
  if (r != 0 && pane) pane->SetState(kPaneNone, 0);
  // A refused password or a full device answered; anything else did not reach it.
  ui_->DeviceReachable(device, r == 0 || r == KIVO_ERR_AUTH || r == KIVO_ERR_MAX_CONNECTIONS);
  SetWaitCursor(false);
  return r;
}

std::unique_ptr<TalkSession> CDeviceOpener::MakeTalkSession(CP2pClient* session) {
  return std::make_unique<P2pTalkSession>(session);
}

void CDeviceOpener::DetachTalk(CP2pClient* session) {
  if (session && session == talk_client_) EndTalk();
}

void CDeviceOpener::EndTalk() {
  // The target leaves the capture before the glue it calls goes.
  if (talk_ && talk_->talkTarget) TalkCaptureDetachSession(talk_capture_, talk_.get());
  talk_.reset();
  talk_client_ = nullptr;
  if (talk_capture_) TalkCaptureFree(talk_capture_);
  talk_capture_ = nullptr;
}

bool CDeviceOpener::SessionTalks(CP2pClient* session) const {
  return session && session == talk_client_ && talk_ && talk_->talkTarget && talk_capture_;
}

bool CDeviceOpener::CreateTalkCapture() {
  if (!talk_capture_) talk_capture_ = TalkCaptureCreate();
  return talk_capture_ != nullptr;
}

bool CDeviceOpener::AttachTalk(CP2pClient* session) {
  // One session talks through the capture at a time.
  if (!talk_capture_ || !session || talk_) return false;
  std::unique_ptr<TalkSession> talk = MakeTalkSession(session);
  if (!talk || !TalkCaptureAttachSession(talk_capture_, talk.get())) return false;
  talk_ = std::move(talk);
  talk_client_ = session;
  return true;
}

void CDeviceOpener::StopTalk(CP2pClient* session) {
  DetachTalk(session);
  if (session && session->IsMuted()) session->UnmuteAudio();
}

void CDeviceOpener::FreeTalkCapture() { EndTalk(); }

void CDeviceOpener::CloseSession(DeviceNode* device, CVideoWnd* pane) {
  if (device) {
    CP2pClient* s = device->GetP2pClient();
    const bool keep = keep_connection_;
    // Talk ends with the session's view in every mode.
    DetachTalk(s);
    if (play_mode_ == kPlayLive) {
      RunDeviceOp([device, s, keep] {
        const int flags = s->GetState();
        if (flags & (kP2pStateLiveAudio | kP2pStateSound)) s->StopAudio();
        if (flags & (kP2pStateLiveVideo | kP2pStateMultiChannel)) s->StopAllVideo();
        if (!keep && s->HasSession()) device->Disconnect();
        return 0;
      });
    } else if (play_mode_ == kPlaySd) {
      RunDeviceOp([device, s, keep] {
        const int flags = s->GetState();
        if (flags != 0) {
          if (flags & kP2pStatePlayback) s->StopPlayback();
          if (!keep) device->Disconnect();
        }
        return 0;
      });
      ui_->TimelineReset();
    } else {
      CCsPlayerFw* player = device->GetPlayer();
      if (player && player->GetState() != 0) StopPlayer(player);
      ui_->TimelineReset();
    }
  }
  if (pane) pane->Reset(true);
}

int CDeviceOpener::OpenDeviceInPane(DeviceNode* device, int pane_index, int mode) {
  if (!device) return KIVO_ERR_INVALID_PARAM;
  if (mode >= kPlayLive && mode <= kPlaySd && mode != play_mode_) SwitchPlayMode(mode);
  const DeviceInfo& info = device->Info();
  // 1. A door lock that is offline is not opened (live and SD-card modes).
  if (play_mode_ != kPlayCloud && !IsLanOnly() && !dont_check_online_ && info.is_online == 0 &&
      info.device_type.find("LockBell") != std::string::npos) {
    ShowInfoBox(grid_->window(), IDS_DEVICE_OFFLINE);
    return KIVO_ERR_OFFLINE;
  }
  // 2-3. Already shown: only moved to the requested pane.
  CVideoWnd* requested = pane_index >= 0 && pane_index < kGridPanes ? grid_->Pane(pane_index) : nullptr;
  CVideoWnd* existing = FindPaneOfDevice(device);
  CP2pClient* client = device->GetP2pClient();
  if (existing) {
    CCsPlayerFw* player = device->GetPlayer();
    const bool player_idle = !player || player->GetState() == 0;
    if ((play_mode_ != kPlayCloud && client->HasSession()) || (play_mode_ == kPlayCloud && player_idle)) {
      if (requested && requested != existing) grid_->SwapPanes(existing->GetIndex(), requested->GetIndex());
      return 0;
    }
  }
  // 4. The target pane, emptied of what it showed.
  CVideoWnd* pane = requested;
  if (pane) {
    if (DeviceNode* old = pane->GetDevice()) CloseSession(old, old != device ? pane : nullptr);
  } else {
    pane = grid_->FindFreePane();
    if (!pane) {
      pane = grid_->GetSelectedPane();
      if (pane && pane->GetDevice()) CloseSession(pane->GetDevice(), pane);
    }
  }
  if (!pane) return KIVO_ERR_FAILED;

  int r = 0;
  if (play_mode_ == kPlayLive) {
    r = OpenLive(device, pane);
    if (r != 0) return r;
  } else {
    // 5. Connect for SD-card playback; the cloud needs no session.
    if (play_mode_ == kPlaySd) {
      if (client->HasSession() && !client->IsAlive())
        RunDeviceOp([device] {
          device->Disconnect();
          return 0;
        });
      if (!client->HasSession()) {
        r = ConnectDevice(device, pane);
        if (r != 0 && reconnect_depth_ > 0) {
          pane->SetState(kPaneReconnectFailed, r);
          return r;
        }
        if (r != 0) {
          pane->Reset(true);
          ShowDeviceError(r);
          return r;
        }
      }
    }
    pane->SetDevice(device);
    if (play_mode_ == kPlaySd) {
      QuerySdRecordsForDay(time(nullptr));
    } else {
      QueryCloudRecordsForDay(time(nullptr));
    }
  }
  // 8. The device is told what it is watched for.
  if (client->HasSession()) {
    const bool sd = play_mode_ == kPlaySd;
    RunDeviceOp([client, sd] { return sd ? client->NotifySdPlayback() : client->NotifyLiveView(); });
  }
  ui_->UpdateTalkButtons(device);
  return 0;
}

int CDeviceOpener::OpenLive(DeviceNode* device, CVideoWnd* pane) {
  CP2pClient* client = device->GetP2pClient();
  int r = 0;
  // A channel whose live start fails closes the session; connect and start are tried again, a bounded
  // number of times, and the last failure ends like a failed connect.
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (client->HasSession() && !client->IsAlive())
      RunDeviceOp([device] {
        device->Disconnect();
        return 0;
      });
    if (!client->HasSession()) {
      r = ConnectDevice(device, pane);
      if (r != 0) break;
    }
    pane->SetDevice(device);
    DeviceFeatures f{};
    client->GetFeatures(&f);
    // A pane has four targets: a device with more lenses shows its first four.
    const int channels = std::clamp(static_cast<int>(f.channel_count), 1, kP2pMaxChannels);
    RenderTarget* targets = pane->GetRenderTargets(channels);
    auto* sink = new CAvRender(targets, channels, pane->hwnd(), 0, 0);
    r = StartLiveChannels(client, sink, channels);
    if (r < 0) {
      RunDeviceOp([device] {
        device->Disconnect();
        return 0;
      });
      continue;
    }
    if (f.device_kind == 2) {
      const uint32_t words[2] = {1, 0};
      RunDeviceOp([client, words] {
        return client->SendCommand(kCmdDoorbellWake, words, sizeof words, nullptr, 0, 0);
      });
    }
    pane->ShowPipWindows(true);
    pane->SetState(kPaneWaitingStream, 0);
    RunDeviceOp([client] { return client->StartAudioSink(nullptr); });
    return 0;
  }
  if (reconnect_depth_ > 0) {
    // A pane that reconnects keeps its device and says why in its own text; a double-click tries again.
    pane->SetState(kPaneReconnectFailed, r);
    return r;
  }
  pane->Reset(true);
  ShowDeviceError(r);
  return r;
}

int CDeviceOpener::StartLiveChannels(CP2pClient* client, IAvRender* sink, int channels) {
  const int panes = grid_->GetPaneCount();
  const bool main_for_sub = MainStreamForSubPictures();
  return RunDeviceOp([client, sink, channels, panes, main_for_sub] {
    for (int i = 0; i < channels; ++i) {
      // The first start hands the sink to the session (which releases it even on failure).
      const int s = client->StartLiveVideoSink(i, i == 0 ? sink : nullptr);
      if (s < 0) return s;
      client->SetChannelQuality(i, ChannelWantsSubStream(panes, i, main_for_sub) ? 1 : 0);
    }
    return 0;
  });
}

void CDeviceOpener::ReconnectPane(int index) {
  if (play_mode_ == kPlayCloud) return;
  CVideoWnd* pane = grid_->Pane(index);
  if (!pane || !pane->GetDevice()) return;
  if (busy_ > 0 || reconnect_depth_ > 0) {
    // Another device operation is waited for: try once it is over.
    QTimer::singleShot(200, grid_, [this, index] { ReconnectPane(index); });
    return;
  }
  ++reconnect_depth_;
  DeviceNode* device = pane->GetDevice();
  CloseSession(device, nullptr);
  RunDeviceOp([device] {
    device->Disconnect();
    return 0;
  });
  ui_->UpdateToolbarState();
  // The pane starts afresh (its device kept) so "Connecting ..." shows again.
  pane->Reset(false);
  OpenDeviceInPane(device, index);
  --reconnect_depth_;
}

int CDeviceOpener::StopAllPanes(int kind) {
  SetWaitCursor(true);
  ui_->ShowToast(LoadUiString(IDS_CLOSING_BACKGROUND));
  // Closing ends talkback also for a session that no pane shows any more (the devices may go next).
  if (kind == kStopClose) EndTalk();
  int stopped = 0;
  const int count = grid_->GetPaneCount();
  for (int i = 0; i < count; ++i) {
    CVideoWnd* pane = grid_->Pane(i);
    DeviceNode* device = pane->GetDevice();
    if (!device) continue;
    if (play_mode_ == kPlayCloud) {
      CCsPlayerFw* player = device->GetPlayer();
      if (player && player->GetState() != 0) {
        if (kind == kStopClose) {
          StopPlayer(player);
          pane->Reset(true);
          ui_->TimelineReset();
        }
        ++stopped;
      }
      continue;
    }
    CP2pClient* s = device->GetP2pClient();
    DetachTalk(s);
    if (s->GetState() == 0) continue;
    if (kind == kStopClose) {
      CloseSession(device, nullptr);
      pane->Reset(true);
    } else if (device->Info().device_type.find("sim") != std::string::npos) {
      CloseSession(device, nullptr);
      pane->SetState(kPaneIdleClosed, 0);
    }
    ++stopped;
  }
  // The timeline lets go of the session or player it plays through, also when nothing ran.
  if (kind == kStopClose) ui_->TimelineReset();
  ui_->UpdateToolbarState();
  ui_->WaitDeviceListThread();
  ui_->HideToast();
  SetWaitCursor(false);
  return stopped;
}

void CDeviceOpener::SwitchPlayMode(int mode) {
  if (mode == play_mode_ || mode < kPlayLive || mode > kPlaySd) return;
  play_mode_ = mode;
  // Playback modes have no talk button: talkback ends here.
  EndTalk();
  const int count = grid_->GetPaneCount();
  for (int i = 0; i < count; ++i) {
    CVideoWnd* pane = grid_->Pane(i);
    DeviceNode* device = pane->GetDevice();
    if (!device) continue;
    CP2pClient* s = device->GetP2pClient();
    RunDeviceOp([s] {
      const int flags = s->GetState();
      if (flags & (kP2pStateLiveAudio | kP2pStateSound)) s->StopAudio();
      if (flags & (kP2pStateLiveVideo | kP2pStateMultiChannel)) s->StopAllVideo();
      if (flags & kP2pStatePlayback) s->StopPlayback();
      return 0;
    });
    CCsPlayerFw* player = device->GetPlayer();
    if (player && player->GetState() != 0) StopPlayer(player);
    pane->Reset(true);
  }
  ui_->TimelineReset();
  if (mode == kPlayLive) {
    grid_->LayoutPanes(grid_size_, grid_size_);
  } else {
    grid_->LayoutPanes(1, 1);
  }
  ui_->PlayModeChanged(mode);
  ui_->UpdateToolbarState();
}

void CDeviceOpener::QuerySdRecordsForDay(time_t t) {
  CVideoWnd* pane = grid_->Pane(0);
  DeviceNode* device = pane->GetDevice();
  if (!device) return;
  CP2pClient* s = device->GetP2pClient();
  if (!s->HasSession()) {
    const int r = ConnectDevice(device, pane);
    if (r != 0) {
      ShowDeviceError(r);
      return;
    }
  }
  DeviceFeatures f{};
  s->GetFeatures(&f);
  if (f.sd_card == 0) {
    ShowMessage(grid_->window(), NoSdCardText(), QString(), kBoxInformation);
    return;
  }
  if (s->GetState() & kP2pStatePlayback) {
    RunDeviceOp([s] {
      s->StopPlayback();
      return 0;
    });
    pane->Reset(false);
    ui_->TimelineReset();
  }
  day_start_ = LocalDayStart(t);
  day_span_ = 86400;
  std::vector<PlaybackSegment> list;
  const int64_t start = day_start_;
  const int r = RunDeviceOp([s, start, &list] { return s->GetRecordList(start, 86400, &list); });
  records_ = std::move(list);
  if (r < 0) {
    pane->SetState(kPaneError, r);
  } else if (records_.empty()) {
    pane->SetState(kPaneNoPlaybackList, 0);
  }
  ui_->TimelineSetRecordList(s, nullptr, &records_, day_start_, pane->GetRenderTargets(4));
}

void CDeviceOpener::QueryCloudRecordsForDay(time_t t) {
  CVideoWnd* pane = grid_->Pane(0);
  DeviceNode* device = pane->GetDevice();
  if (!device) return;
  const int64_t start = LocalDayStart(t);
  CCsPlayerFw* player = device->GetPlayer();
  if (player && player->GetState() != 0) {
    StopPlayer(player);
    pane->Reset(false);
    ui_->TimelineReset();
  }
  SetWaitCursor(true);
  pane->SetState(kPaneFetchingPlaylist, 0);
  std::vector<PlaybackSegment> list;
  COrvelServer* server = device->Server();
  const std::string id = device->Info().id;
  const int r = server ? RunDeviceOp([server, &id, start, &list] {
    return server->GetVideoRecord(id.c_str(), start, start + 86399, &list);
  })
                       : KIVO_ERR_FAILED;
  records_ = std::move(list);
  if (r == 0) {
    RenderTarget* targets = pane->GetRenderTargets(4);
    day_start_ = start;
    day_span_ = 86399;
    ui_->TimelineSetRecordList(nullptr, player, &records_, day_start_, targets);
    ui_->TimelineRedraw();
    if (records_.empty()) {
      pane->update();
      pane->SetState(kPaneNoPlaybackList, 0);
    } else {
      pane->SetState(kPaneNone, 0);
    }
  } else {
    records_.clear();
    pane->SetState(kPaneNone, 0);
  }
  SetWaitCursor(false);
}

void CDeviceOpener::ShowDeviceError(int code) {
  ShowMessage(grid_->window(), DeviceErrorText(code), QStringLiteral("ERROR"), kBoxError);
}

void CDeviceOpener::SetStreamForAllPanes(bool sub) {
  const int count = grid_->GetPaneCount();
  for (int i = 0; i < count; ++i) {
    DeviceNode* device = grid_->Pane(i)->GetDevice();
    if (!device) continue;
    CP2pClient* s = device->GetP2pClient();
    if (s->GetState() == 0) continue;
    RunDeviceOp([s, sub] { return s->SetVideoQuality(sub ? 1 : 0); });
  }
}

void CDeviceOpener::SetFullScreenStream(DeviceNode* device, bool entering) {
  if (play_mode_ != kPlayLive || grid_->GetPaneCount() <= 3 || !device) return;
  CP2pClient* s = device->GetP2pClient();
  if (!s->HasSession()) return;
  RunDeviceOp([s, entering] { return s->SetVideoQuality(entering ? 0 : 1); });
}

void CDeviceOpener::CloseSession(CP2pClient* session) {
  if (!session) return;
  RunDeviceOp([session] { return session->Close(); });
}

void CDeviceOpener::BeginDeviceDrag(DeviceNode* device) {
  drag_device_ = device;
  grid_->BeginDragCapture(
      [](void* data, CVideoWnd* target) {
        auto* self = static_cast<CDeviceOpener*>(data);
        DeviceNode* d = self->drag_device_;
        self->drag_device_ = nullptr;
        if (d && target) self->OpenDeviceInPane(d, target->GetIndex());
      },
      this);
}

void CDeviceOpener::ExchangePicture(int channel_a, int channel_b) {
  ui_->ExchangePicture(channel_a, channel_b);
}

void CDeviceOpener::PaneClicked() { ui_->PaneClicked(); }

void ReleaseSink(IAvRender* sink) {
  if (sink) sink->Release();
}

IAvRender* MakePlaybackSink(RenderTarget* targets, int count, HWND pane, HWND timeline) {
  return new CAvRender(targets, count, pane, timeline, WM_TIMELINE_EVENT);
}
