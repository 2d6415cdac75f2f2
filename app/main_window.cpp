#include "app/main_window.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_state.h"
#include "app/dialogs/small_dialogs.h"
#include "app/ui/strings.h"
#include "app/ui/style.h"

CVelmoraDlg::CVelmoraDlg(QWidget* parent) : QWidget(parent), UiWindow(this) {
  setObjectName(QString::fromLatin1(kMainWindowClassName));
  setWindowTitle(QString::fromStdString(GetWindowTitle()));
  setWindowIcon(GetAppIcon());
  setAttribute(Qt::WA_DeleteOnClose, false);
  setStyleSheet(QStringLiteral("CVelmoraDlg { background: #262626; } QLabel { color: #E8EAED; }"));
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0x26, 0x26, 0x26));
  setPalette(pal);

  auto* logo = new QLabel(this);
  logo->setPixmap(MakeLogoPixmap(28, devicePixelRatioF()));
  auto* user = new QLabel(QString::fromStdString(GetCurrentUser()), this);
  user->setObjectName(QStringLiteral("user"));
  auto* bar = new QHBoxLayout;
  bar->setSpacing(10);
  bar->addWidget(logo);
  bar->addWidget(user);
  bar->addStretch(1);
  auto add = [&](const QString& text, auto fn) {
    auto* b = new QPushButton(text, this);
    connect(b, &QPushButton::clicked, this, fn);
    bar->addWidget(b);
  };
  add(UiText("Auto-close time ...", "自动关闭时间 ..."), [this] { CSetIdleDlg(this).DoModal(); });
  add(QStringLiteral("UUID ..."), [this] {
    CAccessByUuidDlg dlg(this);
    dlg.m_low_power = 1;
    dlg.m_rvs = 1;
    dlg.DoModal();
  });
  add(UiText("About ...", "关于 ..."), [this] { CAboutDlg(this).DoModal(); });
  auto* body = new QLabel(LoadUiString(IDS_DEVICE_LIST), this);
  body->setAlignment(Qt::AlignCenter);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 10, 16, 16);
  layout->addLayout(bar);
  layout->addWidget(body, 1);

  resize(1280, 800);
  SetTimer(kIdleTimerId, kIdleTimerMs);
}

bool CVelmoraDlg::event(QEvent* e) {
  if (DispatchUiMessage(e)) return true;
  return QWidget::event(e);
}

void CVelmoraDlg::OnTimer(int id) {
  if (id == kIdleTimerId) OnIdleTimer();
}

void CVelmoraDlg::OnIdleTimer() {
  idle_counter_ += kIdleTimerMs / 1000;
  // Past the limit the panes of cellular devices close (the grid is not here yet).
}

void CVelmoraDlg::OnMessage(UiMessageEvent* event) {
  switch (event->message()) {
    case WM_UI_INVOKE:
      event->Invoke();
      break;
    case WM_PANE_SELECTED:
      selected_pane_ = static_cast<int>(event->wparam());
      break;
    default:
      break;
  }
}
