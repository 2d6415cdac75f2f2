#include "app/gui/video_pane.h"

#include <QFont>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <cstdlib>

#include "app/gui/video_grid.h"
#include "app/gui/video_layout.h"
#include "app/ui/error_text.h"
#include "app/ui/strings.h"
#include "media/sink/av_render.h"
#include "sdk/node/device_node.h"
#include "sdk/device/kivo_p2p.h"
#include "sdk/device/p2p_client.h"

namespace {

constexpr QRgb kPaneBackground = 0x262626;
// Device-link codes the pane tells apart.
constexpr int kErrAuth = -10002;
constexpr int kErrBroken = -10004;
constexpr int kErrOffline = -10008;
constexpr int kErrTimeout = -10011;
constexpr int kErrMaxConnections = -10014;
// The media sink's "cannot be decoded here" (value: the codec), also a device-link code.
constexpr int kErrUnsupported = -10003;

int StateOfError(int code) {
  switch (code) {
    case kErrMaxConnections: return kPaneMaxConnections;
    case kErrTimeout: return kPaneSessionTimeout;
    case kErrOffline: return kPaneOffline;
    case kErrBroken: return kPaneConnectionBroken;
    case kErrAuth: return kPaneAuthFailed;
    default: return kPaneError;
  }
}

// The countdown's notice: the pane's status text in a transparent child over the picture (the renderer
// paints the pane itself while it holds a picture, which would hide the pane's own text).
class PaneNotice : public QWidget {
 public:
  explicit PaneNotice(CVideoWnd* pane) : QWidget(pane), pane_(pane) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    hide();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    const QString text = pane_->StatusText();
    if (text.isEmpty()) return;
    QPainter p(this);
    QFont f = font();
    f.setPointSize(16);
    p.setFont(f);
    // Wrapped, so the seconds left stay in sight in a small pane, on a dark band over the picture.
    const QRect area = rect().adjusted(12, 8, -12, -8);
    const int flags = Qt::AlignCenter | Qt::TextWordWrap;
    const QRect used = p.boundingRect(area, flags, text);
    p.fillRect(used.adjusted(-10, -6, 10, 6), QColor(0, 0, 0, 200));
    p.setPen(pane_->StatusColour());
    p.drawText(area, flags, text);
  }

 private:
  CVideoWnd* pane_;
};

PaneHost& DefaultHost() {
  static PaneHost host;
  return host;
}

}  // namespace

int32_t SessionEventValue(const CP2pClient* session) {
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(session));
}

CP2pClient* PaneHost::SessionOf(DeviceNode* device) { return device ? device->GetP2pClient() : nullptr; }
int PaneHost::SessionState(CP2pClient* session) { return session ? session->GetState() : 0; }
void PaneHost::CloseSession(CP2pClient* session) {
  if (session) session->Close();
}
bool PaneHost::IsCellular(DeviceNode* device) {
  CP2pClient* s = SessionOf(device);
  DeviceFeatures f{};
  return s && s->GetFeatures(&f) == 0 && f.cellular != 0;
}

QString PaneErrorText(int code) { return CodeWithMeaning(code, DeviceErrorMeaning(code)); }

QString PaneCloudErrorText(int code) { return CodeWithMeaning(code, ServiceErrorMeaning(code)); }

// ---- picture-in-picture window ----

CPipWnd::CPipWnd(CVideoWnd* pane, int id) : QWidget(pane), UiWindow(this), pane_(pane), id_(id) {
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::black);
  setPalette(pal);
  hide();
}

bool CPipWnd::event(QEvent* e) {
  if (DispatchUiMessage(e)) return true;
  return QWidget::event(e);
}

void CPipWnd::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(QPen(QColor(255, 0, 0), 5));
  p.setBrush(Qt::NoBrush);
  p.drawRect(rect());
  p.setPen(Qt::white);
  p.drawText(QPoint(width() / 2 - 40, height() / 2 - 8 + p.fontMetrics().ascent()), QStringLiteral("Waiting..."));
}

void CPipWnd::mouseDoubleClickEvent(QMouseEvent*) { pane_->OnPipDblClk(id_); }

// ---- pane ----

CVideoWnd::CVideoWnd(QWidget* parent, int index, PaneHost* host)
    : QWidget(parent), UiWindow(this), index_(index), host_(host ? host : &DefaultHost()) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  for (int k = 0; k < kPanePipWindows; ++k) pips_[k] = new CPipWnd(this, k + 1);
  notice_ = new PaneNotice(this);
  targets_.reset(new RenderTarget[4]);
  RebuildTargets();
  hide();
}

CVideoWnd::~CVideoWnd() = default;

void CVideoWnd::StopCountdown() {
  KillTimer(kPaneCountdownTimer);
  countdown_ = 0;
  UpdateNotice();
}

void CVideoWnd::UpdateNotice() {
  const bool show = countdown_ > 0 || reconnecting_ || state_ == kPaneReconnectFailed;
  if (!show) {
    notice_->hide();
    return;
  }
  notice_->setGeometry(rect());
  notice_->raise();
  notice_->show();
  notice_->update();
}

void CVideoWnd::SetDevice(DeviceNode* device) {
  device_ = device;
  StopCountdown();
}

void CVideoWnd::Reset(bool detach) {
  state_ = kPaneNone;
  code_ = 0;
  if (detach) device_ = nullptr;
  StopCountdown();
  for (CPipWnd* w : pips_) w->hide();
  channel_map_ = {0, 1, 2, 3};
  reconnecting_ = false;
  UpdateNotice();
  repaint();
}

void CVideoWnd::SetState(int state, int code) {
  if (state_ < 13) update();
  state_ = state;
  code_ = code;
  UpdateNotice();
  if (!reconnecting_) update();
}

RenderTarget* CVideoWnd::GetRenderTargets(int channel_count) {
  channel_count_ = channel_count;
  return targets_.get();
}

void CVideoWnd::ShowPipWindows(bool show) {
  const int n = std::min(channel_count_ - 1, kPanePipWindows);
  for (int k = 0; k < n; ++k) {
    pips_[k]->setVisible(show);
    if (show) pips_[k]->update();
  }
}

void CVideoWnd::OnPipDblClk(int window_id) {
  int d = -1, e = -1;
  for (int c = 0; c < 4; ++c) {
    if (channel_map_[c] == window_id) d = c;
    if (channel_map_[c] == 0) e = c;
  }
  if (d < 0 || e < 0 || d == e) return;
  host_->ExchangePicture(d, e);
  channel_map_[e] = window_id;
  channel_map_[d] = 0;
}

void CVideoWnd::RebuildTargets() {
  // A sink may be reading them on a media thread.
  std::lock_guard<std::mutex> lock(RenderTargetLock());
  targets_[0] = RenderTarget{this, kPaneAnchorAll, RenderRect{}};
  for (int k = 0; k < kPanePipWindows; ++k) {
    const QRect r = pips_[k]->rect();
    targets_[k + 1] = RenderTarget{pips_[k], kPaneAnchorAll, RenderRect{5, 5, r.width() - 5, r.height() - 5}};
  }
}

void CVideoWnd::resizeEvent(QResizeEvent*) {
  if (width() == 0 || height() == 0) return;
  const std::vector<QRect> r = PipWindowRects(width(), height());
  for (int k = 0; k < kPanePipWindows; ++k) {
    pips_[k]->setGeometry(r[k]);
    pips_[k]->update();
  }
  notice_->setGeometry(rect());
  RebuildTargets();
}

QString CVideoWnd::StatusText() const {
  // Until the reconnect resets the pane, it says what happens.
  if (reconnecting_) return UiText("Reconnecting ...", "正在重新连接...");
  QString text;
  switch (ShownState()) {
    case kPaneConnecting: text = LoadUiString(IDS_CONNECTING); break;
    case kPaneWaitingStream: text = LoadUiString(IDS_WAITING_STREAM); break;
    case kPaneFetchingPlaylist: text = LoadUiString(IDS_FETCHING_PLAYLIST); break;
    case kPaneNoPlaybackList: text = LoadUiString(IDS_NO_PLAYBACK_LIST); break;
    case kPaneIdleClosed: text = LoadUiString(IDS_IDLE_DISCONNECTED); break;
    case kPaneConnectionBroken: text = LoadUiString(IDS_CONNECTION_BROKEN); break;
    case kPaneOffline: text = LoadUiString(IDS_DEVICE_OFFLINE); break;
    case kPaneAuthFailed: text = LoadUiString(IDS_AUTH_FAILURE); break;
    case kPaneMaxConnections: text = LoadUiString(IDS_MAX_CONNECTIONS); break;
    case kPaneSessionTimeout: text = LoadUiString(IDS_SESSION_TIMEOUT); break;
    case kPaneError: return LoadUiString(IDS_ERROR) + PaneErrorText(code_);
    case kPaneReconnectFailed:
      return UiText("Could not connect again ", "重新连接失败 ") +
             CodeWithMeaning(code_, ConnectErrorMeaning(code_)) +
             UiText(". Double click to try again.", "。双击重新连接。");
    case kPaneCloudDownload:
      return LoadUiString(IDS_CLOUD_DOWNLOAD_PROBLEM) + PaneCloudErrorText(code_);
    default: return QString();
  }
  if (countdown_ > 0) {
    QString later = LoadUiString(IDS_TRY_LATER);
    later.replace(QStringLiteral("%d"), QString::number(countdown_));
    text += QStringLiteral(" -- ") + later;
  }
  return text;
}

int CVideoWnd::ShownState() const {
  // A state without text of its own (a picture was playing) shows the broken link while counting down.
  const bool textless = state_ == kPaneNone || state_ == kPanePlaying || state_ == kPaneDeviceStatus;
  return countdown_ > 0 && textless ? countdown_cause_ : state_;
}

QColor CVideoWnd::StatusColour() const {
  if (reconnecting_) return QColor(255, 255, 0);
  const int state = ShownState();
  if (state < 13) return QColor(0, 255, 0);
  if (state < 18) return QColor(255, 255, 0);
  return QColor(255, 0, 0);
}

void CVideoWnd::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(kPaneBackground));
  const QString text = StatusText();
  // While it shows, the notice draws the text.
  if (text.isEmpty() || notice_->isVisible()) return;
  QFont f = font();
  f.setPointSize(16);
  p.setFont(f);
  p.setPen(StatusColour());
  const QString shown = QFontMetrics(f).elidedText(text, Qt::ElideRight, width());
  p.drawText(rect(), Qt::AlignCenter, shown);
}

bool CVideoWnd::event(QEvent* e) {
  if (DispatchUiMessage(e)) return true;
  return QWidget::event(e);
}

void CVideoWnd::OnMessage(UiMessageEvent* event) {
  if (event->message() == WM_AV_EVENT) {
    OnAvStatus(static_cast<int>(static_cast<intptr_t>(event->wparam())), event->lparam());
    return;
  }
  UiWindow::OnMessage(event);
}

void CVideoWnd::OnAvStatus(int event, LPARAM value) {
  // Events whose value names a session (the first picture and receive errors) are matched against the
  // session the pane's device holds now. One from a session that was closed or replaced, or that arrives
  // after the device left the pane, is dropped: its value is never used as a session.
  CP2pClient* session = nullptr;
  if (event < 0 || event == kPanePlaying) {
    if (!device_) return;
    if (host_->Busy()) {
      // A connect or close is running for the GUI thread: look again once it is over.
      const HWND self = hwnd();
      QTimer::singleShot(50, this, [self, event, value] {
        PostMessage(self, WM_AV_EVENT, static_cast<WPARAM>(static_cast<intptr_t>(event)), value);
      });
      return;
    }
    session = host_->SessionOf(device_);
    if (!session || SessionEventValue(session) != static_cast<int32_t>(value)) {
      // The sink's report of a codec it cannot decode names the codec, not a session: shown, nothing closed.
      if (event == kErrUnsupported && value > 0 && value < 256) SetState(kPaneError, kErrUnsupported);
      return;
    }
  }
  if (event == 1) {
    const int n = static_cast<int>(value);
    if (n >= 1 && n <= kPanePipWindows && pips_[n - 1]->isHidden()) pips_[n - 1]->show();
    return;
  }
  if (event == kPaneCloudDownload) {
    SetState(kPaneCloudDownload, static_cast<int>(value));
    return;
  }
  if (event > 0) {
    SetState(event, 0);
    return;
  }
  if (event == 0) return;
  const int state = StateOfError(event);
  for (CPipWnd* w : pips_) w->hide();
  if (event == kErrTimeout || event == kErrBroken) {
    const int flags = host_->SessionState(session);
    if (flags != 0 && !host_->IsCellular(device_)) {
      countdown_ = kPaneCountdownSeconds;
      countdown_cause_ = state;
      SetTimer(kPaneCountdownTimer, 1000);
      UpdateNotice();
      update();
      return;
    }
    if (flags == 0) host_->CloseSession(session);
    SetState(state, 0);
    return;
  }
  host_->CloseSession(session);
  SetState(state, state == kPaneError ? event : 0);
}

void CVideoWnd::OnTimer(int id) {
  if (id != kPaneCountdownTimer) return;
  if (countdown_ > 0) --countdown_;
  if (countdown_ > 0) {
    update();
    notice_->update();
    return;
  }
  KillTimer(kPaneCountdownTimer);
  // The pane keeps drawing while the reconnect runs (it waits for the device with the window live), so it
  // says so instead of the last second of the countdown.
  reconnecting_ = true;
  UpdateNotice();
  host_->ReconnectPane(index_);
}

void CVideoWnd::SetDropHighlight(bool on) {
  if (drop_highlight_ == on) return;
  drop_highlight_ = on;
  if (parentWidget()) parentWidget()->update();
}

// ---- mouse, keys and full screen ----

void CVideoWnd::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  setFocus(Qt::MouseFocusReason);
  if (full_screen_) return;
  if (auto* grid = dynamic_cast<CVideoListPane*>(parentWidget())) grid->SelectPane(index_);
  armed_ = true;
  press_ = e->position().toPoint();
}

void CVideoWnd::mouseMoveEvent(QMouseEvent* e) {
  auto* grid = dynamic_cast<CVideoListPane*>(parentWidget());
  if (grid && grid->Capturing()) {
    grid->CaptureMove(e->globalPosition().toPoint());
    return;
  }
  if (!armed_) return;
  const QPoint d = e->position().toPoint() - press_;
  if (std::abs(d.x()) <= 4 && std::abs(d.y()) <= 4) return;
  armed_ = false;
  if (!grid) return;
  setCursor(Qt::SizeAllCursor);
  grid->BeginDragCapture(PaneDropCallback, this);
}

void CVideoWnd::mouseReleaseEvent(QMouseEvent* e) {
  auto* grid = dynamic_cast<CVideoListPane*>(parentWidget());
  if (grid && grid->Capturing()) {
    if (e->button() == Qt::LeftButton) {
      unsetCursor();
      grid->CaptureMove(e->globalPosition().toPoint());
      grid->CaptureRelease();
    }
    return;
  }
  if (e->button() != Qt::LeftButton || !armed_) return;
  host_->PaneClicked();
  if (!full_screen_) armed_ = false;
}

void CVideoWnd::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  if (state_ == kPaneIdleClosed || state_ == kPaneSessionTimeout || state_ == kPaneReconnectFailed) {
    host_->ReconnectPane(index_);
  } else if (full_screen_) {
    LeaveFullScreen();
    host_->SetFullScreenStream(device_, false);
  } else if (device_) {
    EnterFullScreen();
    host_->SetFullScreenStream(device_, true);
  }
}

void CVideoWnd::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape && full_screen_) {
    LeaveFullScreen();
    return;
  }
  QWidget::keyPressEvent(e);
}

void CVideoWnd::EnterFullScreen() {
  if (full_screen_) return;
  saved_parent_ = parentWidget();
  saved_rect_ = geometry();
  QScreen* s = screen();
  const QRect area = s ? s->geometry() : QRect(0, 0, 1024, 768);
  setParent(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setGeometry(area);
  full_screen_ = true;
  show();
  raise();
  activateWindow();
  QThread::msleep(10);
}

void CVideoWnd::LeaveFullScreen() {
  if (!full_screen_) return;
  setParent(saved_parent_, Qt::Widget);
  setGeometry(saved_rect_);
  full_screen_ = false;
  show();
  update();
}

void CVideoWnd::PlaceInGrid(const QRect& r) {
  if (full_screen_) {
    saved_rect_ = r;
  } else {
    setGeometry(r);
  }
}

void PaneDropCallback(void* data, CVideoWnd* target) {
  auto* source = static_cast<CVideoWnd*>(data);
  auto* grid = target ? dynamic_cast<CVideoListPane*>(target->parentWidget()) : nullptr;
  if (!source || !grid) return;
  grid->SwapPanes(source->GetIndex(), target->GetIndex());
}
