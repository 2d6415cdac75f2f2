#include "app/dialogs/login_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "app/app_state.h"
#include "app/settings.h"
#include "app/ui/blocking_runner.h"
#include "app/ui/error_text.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "app/ui/style.h"
#include "sdk/cloud/orvel_server.h"
#include "util/log.h"

CLoginDlg::CLoginDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CLoginDlg"));
  setWindowTitle(UiText("Login", "用户登录"));
  // Dark like the main window (the application's style sheet), the entered texts in a light blue.
  setStyleSheet(QStringLiteral("QLineEdit, QComboBox { color: #9DB8FF; }"));

  auto* logo = new QLabel(this);
  logo->setPixmap(MakeLogoPixmap(44, devicePixelRatioF()));
  auto* name =
      new QLabel(QString::fromStdString(GetWindowTitle().empty() ? "Velmora" : GetWindowTitle()), this);
  QFont big = name->font();
  big.setPointSizeF(big.pointSizeF() * 1.6);
  big.setWeight(QFont::DemiBold);
  name->setFont(big);
  name->setStyleSheet(QStringLiteral("color: #E8EAED;"));
  auto* sub = new QLabel(UiText("Login", "用户登录"), this);
  sub->setStyleSheet(QStringLiteral("color: #8C95A1;"));
  auto* titles = new QVBoxLayout;
  titles->setSpacing(2);
  titles->addWidget(name);
  titles->addWidget(sub);
  auto* header = new QHBoxLayout;
  header->setSpacing(14);
  header->addWidget(logo);
  header->addLayout(titles, 1);

  user_ = new QComboBox(this);
  user_->setObjectName(QStringLiteral("user"));
  user_->setEditable(true);
  user_->setInsertPolicy(QComboBox::NoInsert);
  user_->setMinimumWidth(300);
  password_ = new QLineEdit(this);
  password_->setObjectName(QStringLiteral("password"));
  password_->setEchoMode(QLineEdit::Password);
  save_ = new QCheckBox(UiText("Save password", "保存口令"), this);
  save_->setObjectName(QStringLiteral("save"));
  env_ = new QComboBox(this);
  env_->setObjectName(QStringLiteral("env"));
  env_->addItems({QStringLiteral("Product"), QStringLiteral("Test"), QStringLiteral("Pre")});
  env_->setVisible(false);
  login_ = new QPushButton(UiText("Login", "登  录"), this);
  login_->setObjectName(QStringLiteral("login"));
  login_->setDefault(true);
  login_->setProperty("primary", true);
  login_->setMinimumHeight(38);
  for (QWidget* w :
       {static_cast<QWidget*>(user_), static_cast<QWidget*>(password_), static_cast<QWidget*>(env_)})
    w->setMinimumHeight(34);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(32, 28, 32, 28);
  layout->setSpacing(12);
  layout->addLayout(header);
  layout->addSpacing(10);
  layout->addWidget(user_);
  layout->addWidget(password_);
  layout->addWidget(env_);
  layout->addWidget(save_);
  layout->addSpacing(6);
  layout->addWidget(login_);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(login_, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(user_, qOverload<int>(&QComboBox::activated), this, [this](int i) { OnUserChosen(i); });
  connect(env_, qOverload<int>(&QComboBox::currentIndexChanged), this, [this](int i) { OnEnvChanged(i); });
  auto* hot = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+E")), this);
  connect(hot, &QShortcut::activated, this, [this] { OnHotKey(); });

  OnInitDialog();
}

int CLoginDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

void CLoginDlg::OnInitDialog() {
  setWindowIcon(GetAppIcon());
  user_->lineEdit()->setPlaceholderText(LoadUiString(IDS_USER_CUE));
  password_->setPlaceholderText(LoadUiString(IDS_PASSWORD_CUE));
  env_index_ = ReadConfigInt("config", "env", 0);
  filling_ = true;
  if (env_index_ >= 0 && env_index_ < env_->count()) env_->setCurrentIndex(env_index_);
  filling_ = false;
  env_->setVisible(env_index_ >= 1);
  FillUserCombo();
  save_->setChecked(true);
  // With the user filled in, typing starts in the password.
  if (!user_->currentText().isEmpty() && password_->text().isEmpty()) password_->setFocus();
}

void CLoginDlg::FillUserCombo() {
  filling_ = true;
  for (const auto& entry : AccountStore()) user_->addItem(QString::fromStdString(entry.first));
  filling_ = false;
  std::string user = ReadConfigString("login", "user", kLoginFieldMax);
  if (user.empty()) return;
  user_->setEditText(QString::fromStdString(user));
  auto it = AccountStore().find(user);
  if (it != AccountStore().end()) password_->setText(QString::fromStdString(it->second));
}

void CLoginDlg::OnHotKey() { env_->setVisible(env_->isHidden()); }

void CLoginDlg::OnUserChosen(int index) {
  if (index < 0) return;
  auto it = AccountStore().find(user_->itemText(index).toStdString());
  if (it != AccountStore().end()) password_->setText(QString::fromStdString(it->second));
}

void CLoginDlg::OnEnvChanged(int index) {
  if (filling_ || index < 0) return;
  env_index_ = index;
  AccountStore().clear();
  filling_ = true;
  user_->clear();
  filling_ = false;
  password_->clear();
  LoadAccounts(env_index_);
  FillUserCombo();
}

void CLoginDlg::OnOK() {
  static const char kTag[] = "CLoginDlg::OnOK";
  const std::string user = user_->currentText().toStdString();
  const std::string password = password_->text().toStdString();
  const int env = env_index_;
  int r = RunBlocking([env] { return OrvelServer().Init(nullptr, env); });
  if (r != 0) {
    LogPrintf(kLogError, nullptr, kTag, "COrvelServer::Init(%d) failed: %d\n", env, r);
    ShowErrorBox(this, IDS_CANNOT_CONNECT);
    return;
  }
  r = RunBlocking([&] { return OrvelServer().Login(user.c_str(), password.c_str()); });
  if (r < 0) {
    // The code with what it means: "Login failed(-6:Could not connect to the service)".
    ShowMessage(this, QStringLiteral("Login failed") + CodeWithMeaning(r, ServiceErrorMeaning(r)),
                QStringLiteral("Failed"), kBoxError);
    return;
  }
  if (r > 0) {
    SetCurrentUser("");
    ShowErrorBox(this, IDS_INVALID_LOGIN);
    return;
  }
  SetCurrentUser(user);
  AccountMap& store = AccountStore();
  if (save_->isChecked()) {
    auto it = store.find(user);
    if (it == store.end() || it->second != password) {
      store[user] = password;
      SaveAccounts(env);
    }
    WriteConfigString("login", "user", user.c_str());
    WriteConfigInt("config", "env", env);
  } else {
    if (store.erase(user)) SaveAccounts(env);
    WriteConfigString("login", "user", nullptr);
  }
  accept();
}
