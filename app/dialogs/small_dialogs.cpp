#include "app/dialogs/small_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_state.h"
#include "app/settings.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "app/ui/style.h"

namespace {

// OK and Cancel in the dialog's language; OK is the default button.
QDialogButtonBox* MakeButtons(QDialog* dlg, bool cancel, QPushButton** ok_out) {
  auto* box = new QDialogButtonBox(dlg);
  QPushButton* ok = box->addButton(UiText("OK", "确定"), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setDefault(true);
  ok->setProperty("primary", true);
  if (cancel) {
    QPushButton* c = box->addButton(UiText("Cancel", "取消"), QDialogButtonBox::RejectRole);
    c->setObjectName(QStringLiteral("cancel"));
  }
  QObject::connect(box, &QDialogButtonBox::rejected, dlg, &QDialog::reject);
  if (ok_out) *ok_out = ok;
  return box;
}

QVBoxLayout* MakeLayout(QDialog* dlg) {
  auto* layout = new QVBoxLayout(dlg);
  layout->setContentsMargins(24, 20, 24, 18);
  layout->setSpacing(12);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  return layout;
}

}  // namespace

int IdleMinutesIndex(int max_idle_seconds) {
  int minutes = max_idle_seconds / 60;
  if (minutes <= 7) return 0;
  if (minutes < 10) return 1;
  return 2;
}

CSetIdleDlg::CSetIdleDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CSetIdleDlg"));
  setWindowTitle(UiText("Set The Auto-Close Time", "自动关闭时间设置"));
  setWindowIcon(GetAppIcon());
  minutes_ = new QComboBox(this);
  for (int m : kIdleMinutes) minutes_->addItem(QString::number(m));
  minutes_->setCurrentIndex(IdleMinutesIndex(GetMaxIdleTime()));
  auto* row = new QHBoxLayout;
  row->setSpacing(10);
  row->addWidget(new QLabel(UiText("Idle time before disconnection", "自动断开前无操作的时间:"), this));
  row->addWidget(minutes_);
  row->addWidget(new QLabel(UiText("Minutes", "分钟"), this));
  QVBoxLayout* layout = MakeLayout(this);
  layout->addLayout(row);
  QDialogButtonBox* buttons = MakeButtons(this, true, &ok_);
  layout->addWidget(buttons);
  ok_->setEnabled(false);
  connect(minutes_, qOverload<int>(&QComboBox::activated), this, [this] { ok_->setEnabled(true); });
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { OnOK(); });
}

int CSetIdleDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

void CSetIdleDlg::OnOK() {
  int index = minutes_->currentIndex();
  if (index < 0) return;
  int seconds = kIdleMinutes[index] * 60;
  SetMaxIdleTime(seconds);
  WriteConfigInt("config", "max_idle_time", seconds);
  accept();
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CAboutDlg"));
  setWindowTitle(UiText("About Velmora", "关于 Velmora"));
  QIcon icon = GetAppIcon();
  setWindowIcon(icon);
  auto* picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("icon"));
  picture->setPixmap(icon.isNull() ? MakeLogoPixmap(48, devicePixelRatioF()) : icon.pixmap(48, 48));
  text_ = new QLabel(QString::fromStdString(GetWindowTitle() + " " + GetFileVersionText()), this);
  text_->setObjectName(QStringLiteral("version"));
  QFont f = text_->font();
  f.setWeight(QFont::DemiBold);
  text_->setFont(f);
  auto* line = new QLabel(UiText("Desktop client for cloud cameras.", "云摄像机桌面客户端。"), this);
  line->setStyleSheet(QStringLiteral("color: #8C95A1;"));
  auto* texts = new QVBoxLayout;
  texts->addWidget(text_);
  texts->addWidget(line);
  auto* row = new QHBoxLayout;
  row->setSpacing(16);
  row->addWidget(picture);
  row->addLayout(texts, 1);
  QVBoxLayout* layout = MakeLayout(this);
  layout->addLayout(row);
  QDialogButtonBox* buttons = MakeButtons(this, false, nullptr);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
}

int CAboutDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

CAccessByUuidDlg::CAccessByUuidDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CAccessByUuidDlg"));
  setWindowTitle(UiText("Access by UUID", "Access by UUID"));
  uuid_ = new QLineEdit(this);
  uuid_->setObjectName(QStringLiteral("uuid"));
  uuid_->setMinimumWidth(280);
  g4_ = new QCheckBox(QStringLiteral("4G"), this);
  low_power_ = new QCheckBox(UiText("Low power", "低功耗"), this);
  rvs_ = new QCheckBox(QStringLiteral("RVS"), this);
  webrtc_ = new QCheckBox(QStringLiteral("WEBRTC"), this);
  webrtc2_ = new QCheckBox(QStringLiteral("WEBRTC2"), this);
  relay_ = new QCheckBox(UiText("Force relay", "强制转发"), this);
  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QStringLiteral("UUID:"), this));
  top->addWidget(uuid_, 1);
  auto* checks = new QGridLayout;
  checks->setHorizontalSpacing(18);
  checks->addWidget(g4_, 0, 0);
  checks->addWidget(low_power_, 0, 1);
  checks->addWidget(rvs_, 0, 2);
  checks->addWidget(webrtc_, 1, 0);
  checks->addWidget(webrtc2_, 1, 1);
  checks->addWidget(relay_, 1, 2);
  QVBoxLayout* layout = MakeLayout(this);
  layout->addLayout(top);
  layout->addLayout(checks);
  QDialogButtonBox* buttons = MakeButtons(this, true, &ok_);
  layout->addWidget(buttons);
  ok_->setEnabled(false);
  connect(uuid_, &QLineEdit::textChanged, this, [this] { UpdateOk(); });
  connect(rvs_, &QCheckBox::clicked, this, [this] { relay_->setEnabled(rvs_->isChecked()); });
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { OnOK(); });
}

// Spaces around the UUID (a pasted one) are not part of it.
void CAccessByUuidDlg::UpdateOk() { ok_->setEnabled(uuid_->text().trimmed().size() > kUuidMinExclusive); }

void CAccessByUuidDlg::OnInitDialog() {
  uuid_->setText(QString::fromStdString(m_uuid));
  g4_->setChecked(m_4g);
  low_power_->setChecked(m_low_power);
  rvs_->setChecked(m_rvs);
  webrtc_->setChecked(m_webrtc);
  webrtc2_->setChecked(m_webrtc2);
  relay_->setChecked(m_force_relay);
  UpdateOk();
}

int CAccessByUuidDlg::DoModal() {
  OnInitDialog();
  return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void CAccessByUuidDlg::OnOK() {
  if (!ok_->isEnabled()) return;
  m_uuid = uuid_->text().trimmed().toStdString();
  m_4g = g4_->isChecked();
  m_low_power = low_power_->isChecked();
  m_rvs = rvs_->isChecked();
  m_webrtc = webrtc_->isChecked();
  m_webrtc2 = webrtc2_->isChecked();
  m_force_relay = relay_->isChecked();
  accept();
}

CGetTextDlg::CGetTextDlg(QWidget* parent, const QString& caption, const QString& prompt, const QString& text)
    : QDialog(parent) {
  setObjectName(QStringLiteral("CGetTextDlg"));
  setWindowTitle(UiText("Input", "输入"));
  prompt_ = new QLabel(QStringLiteral("What this:"), this);
  edit_ = new QLineEdit(text, this);
  edit_->setMinimumWidth(280);
  QVBoxLayout* layout = MakeLayout(this);
  layout->addWidget(prompt_);
  layout->addWidget(edit_);
  QDialogButtonBox* buttons = MakeButtons(this, true, nullptr);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  // OnInitDialog: the prompt and caption replace the template's.
  prompt_->setText(prompt);
  setWindowTitle(caption);
}

int CGetTextDlg::GetText(QWidget* parent, int caption_id, int prompt_id, std::string* text) {
  CGetTextDlg dlg(parent, LoadUiString(caption_id), LoadUiString(prompt_id), QString::fromStdString(*text));
  if (dlg.exec() != QDialog::Accepted) return 0;
  *text = dlg.edit_->text().toStdString();
  return 1;
}
