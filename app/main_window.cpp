#include "app/main_window.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include "app/app_state.h"
#include "app/dialogs/small_dialogs.h"
#include "app/ui/strings.h"
#include "app/ui/style.h"
#include "sdk/util/log.h"

namespace {

// Buttons of the window itself.
constexpr int kBtnClose = 1003;
constexpr int kBtnMaximise = 1004;
constexpr int kBtnMinimise = 1005;
constexpr int kBtnSettings = 1012;
// The owner-drawn text of the skin that shows the signed-in user.
constexpr int kTextCurrentUser = 1;

}  // namespace

std::string MainWindowSkinPath() {
  return (QCoreApplication::applicationDirPath() + QStringLiteral("/gui/gui.desc")).toStdString();
}

CVelmoraDlg::CVelmoraDlg(QWidget* parent) : CBmpbtnContainer(parent) {
  setObjectName(QString::fromLatin1(kMainWindowClassName));
  setWindowTitle(QString::fromStdString(GetWindowTitle()));
  setWindowIcon(GetAppIcon());
  setAttribute(Qt::WA_DeleteOnClose, false);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0x26, 0x26, 0x26));
  pal.setColor(QPalette::WindowText, QColor(0xE8, 0xEA, 0xED));
  setPalette(pal);

  skin_loaded_ = LoadSkinFile(MainWindowSkinPath()) != 0;
  if (!skin_loaded_) LogPrintf(kLogError, nullptr, "CVelmoraDlg::OnCreate", "Load UI failed\n");
  if (ref_width() > 0 && ref_height() > 0) {
    // A borderless window: the skin draws the caption and its buttons.
    setWindowFlag(Qt::FramelessWindowHint, true);
    resize(ref_width(), ref_height());
  } else {
    resize(1280, 800);
  }
  LogPrintf(kLogInfo, nullptr, "CVelmoraDlg::OnCreate", "Window created\n");

  // The video area until the grid of panes takes its place.
  auto* body = new QLabel(LoadUiString(IDS_DEVICE_LIST), this);
  body->setAlignment(Qt::AlignCenter);
  body->setStyleSheet(QStringLiteral("color: #8A9099; background: transparent;"));
  if (StaticIndexFromId(3002) >= 0)
    SetControl(3002, body);
  else
    body->setGeometry(rect());

  SetToolbarCommandTarget(hwnd());
  SetTimer(kIdleTimerId, kIdleTimerMs);
  EnableToolTips(true);
}

QString CVelmoraDlg::GetTooltipText(int index) const {
  static const struct {
    int button, string;
  } kTips[] = {{1001, IDS_DEVICE_LIST},  {1002, IDS_SPLIT_2X2},   {1006, IDS_LOGON},
               {1007, IDS_LIVE_MEDIA},   {1008, IDS_SD_PLAYBACK}, {1009, IDS_CLOUD_PLAYBACK},
               {1010, IDS_SELECT_DATE},  {1103, IDS_AUDIO},       {1104, IDS_SNAPSHOT},
               {1105, IDS_RECORD},       {1106, IDS_CLOSE_VIDEO}, {1110, IDS_PIP},
               {1111, IDS_EXCHANGE_PIP}, {1112, IDS_TALKBACK},    {1113, IDS_SWITCH_EYES}};
  int id = IdFromIndex(index);
  for (const auto& t : kTips)
    if (t.button == id) return LoadUiString(t.string);
  return QString();
}

void CVelmoraDlg::DrawTextCallback(QPainter* p, int id, const QRect& rect, uint32_t) {
  if (id != kTextCurrentUser) return;
  p->drawText(rect, Qt::AlignRight | Qt::AlignVCenter, QString::fromStdString(GetCurrentUser()));
}

void CVelmoraDlg::OnTimer(int id) {
  if (id == kIdleTimerId)
    OnIdleTimer();
  else
    CBmpbtnContainer::OnTimer(id);
}

void CVelmoraDlg::OnIdleTimer() {
  idle_counter_ += kIdleTimerMs / 1000;
  // Past the limit the panes of cellular devices close (the grid is not here yet).
}

void CVelmoraDlg::ShowSettingsMenu() {
  QMenu menu(this);
  menu.addAction(UiText("&Interval to auto-close for 4G camera ...", "自动关闭时间 ..."),
                 [this] { CSetIdleDlg(this).DoModal(); });
  menu.addAction(QStringLiteral("UUID ..."), [this] {
    CAccessByUuidDlg dlg(this);
    dlg.m_low_power = 1;
    dlg.m_rvs = 1;
    dlg.DoModal();
  });
  menu.addSeparator();
  menu.addAction(UiText("&About...", "关于 ..."), [this] { CAboutDlg(this).DoModal(); });
  menu.exec(QCursor::pos());
}

void CVelmoraDlg::OnCommand(int id) {
  switch (id) {
    case kBtnClose:
      close();
      break;
    case kBtnMaximise:
      if (isMaximized())
        showNormal();
      else
        showMaximized();
      break;
    case kBtnMinimise:
      showMinimized();
      break;
    case kBtnSettings:
      ShowSettingsMenu();
      break;
    default:
      break;
  }
}

void CVelmoraDlg::mousePressEvent(QMouseEvent* e) {
  QPoint pt = e->position().toPoint();
  // The caption strip moves the window, the bottom-right corner sizes it; buttons keep their clicks.
  if (e->button() == Qt::LeftButton && ButtonFromPoint(pt) < 0 && windowHandle() && skin_loaded_) {
    if (pt.y() < kCaptionHeight && windowHandle()->startSystemMove()) return;
    if (pt.x() > width() - 16 && pt.y() > height() - 16 &&
        windowHandle()->startSystemResize(Qt::BottomEdge | Qt::RightEdge))
      return;
  }
  CBmpbtnContainer::mousePressEvent(e);
}

void CVelmoraDlg::mouseDoubleClickEvent(QMouseEvent* e) {
  QPoint pt = e->position().toPoint();
  if (e->button() == Qt::LeftButton && pt.y() < kCaptionHeight && ButtonFromPoint(pt) < 0 && skin_loaded_) {
    OnCommand(kBtnMaximise);
    return;
  }
  CBmpbtnContainer::mouseDoubleClickEvent(e);
}

void CVelmoraDlg::OnMessage(UiMessageEvent* event) {
  switch (event->message()) {
    case WM_UI_INVOKE:
      event->Invoke();
      break;
    case WM_PANE_SELECTED:
      selected_pane_ = static_cast<int>(event->wparam());
      break;
    case WM_COMMAND:
      OnCommand(static_cast<int>(event->wparam()));
      break;
    default:
      break;
  }
}
