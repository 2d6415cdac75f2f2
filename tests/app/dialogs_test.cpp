// The dialogs without the service: idle time, add by UUID, text input, About, and the log-in dialog's
// settings, accounts and environment list; in both languages.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/app_state.h"
#include "app/dialogs/login_dlg.h"
#include "app/dialogs/small_dialogs.h"
#include "app/settings.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "tests/app/app_test_util.h"
#include "tests/common/temp_dir.h"

namespace {

class DialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    SetAppDataFolder(dir_.path());
    AccountStore().clear();
    SetUiLanguageOverride(kLangEnglish);
  }
  void TearDown() override {
    ClearUiLanguageOverride();
    SetAppDataFolder(".");
  }
  std::string config() const { return dir_ / "config.ini"; }
  TempDir dir_{"velmora_dlg"};
};

// Runs act on the next modal dialog once it shows.
void OnNextModal(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    if (QWidget* w = QApplication::activeModalWidget()) {
      timer->stop();
      timer->deleteLater();
      act(w);
    }
  });
  timer->start();
}

TEST(IdleTime, MinutesListIndexFromTheLimit) {
  struct {
    int seconds;
    int index;
  } cases[] = {{0, 0}, {300, 0}, {479, 0}, {480, 1}, {540, 1}, {599, 1}, {600, 2}, {3600, 2}};
  for (const auto& c : cases) EXPECT_EQ(IdleMinutesIndex(c.seconds), c.index) << c.seconds;
}

TEST_F(DialogsTest, IdleTimeDialogStoresTheChosenMinutes) {
  SetMaxIdleTime(540);
  CSetIdleDlg dlg;
  EXPECT_EQ(dlg.minutes_combo()->currentText(), "8");
  EXPECT_FALSE(dlg.ok_button()->isEnabled());
  dlg.minutes_combo()->setCurrentIndex(2);
  emit dlg.minutes_combo()->activated(2);
  EXPECT_TRUE(dlg.ok_button()->isEnabled());
  dlg.ok_button()->click();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(GetMaxIdleTime(), 600);
  EXPECT_EQ(ReadConfigInt("config", "max_idle_time", 300), 600);
  EXPECT_NE(apptest::ReadFile(config()).find("max_idle_time=600"), std::string::npos);
}

TEST_F(DialogsTest, IdleTimeDialogCancelledChangesNothing) {
  SetMaxIdleTime(300);
  CSetIdleDlg dlg;
  OnNextModal([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(GetMaxIdleTime(), 300);
  EXPECT_EQ(apptest::ReadFile(config()), "");
}

TEST_F(DialogsTest, UuidMustBeLongerThanNineCharacters) {
  CAccessByUuidDlg dlg;
  dlg.m_low_power = 1;
  dlg.m_rvs = 1;
  dlg.OnInitDialog();
  EXPECT_FALSE(dlg.ok_button()->isEnabled());
  dlg.uuid_edit()->setText("VLM-12345");  // 9
  EXPECT_FALSE(dlg.ok_button()->isEnabled());
  dlg.uuid_edit()->setText("VLM-123456");  // 10
  EXPECT_TRUE(dlg.ok_button()->isEnabled());
  dlg.uuid_edit()->setText("VLM-1234");
  EXPECT_FALSE(dlg.ok_button()->isEnabled());
  // Spaces around a pasted UUID are not part of it: they neither count nor are kept.
  dlg.uuid_edit()->setText("  VLM-12345  ");
  EXPECT_FALSE(dlg.ok_button()->isEnabled());
  dlg.uuid_edit()->setText(" VLM-SIM-000503 ");
  // RVS unchecked disables force relay, checked enables it.
  EXPECT_TRUE(dlg.rvs_check()->isChecked());
  dlg.rvs_check()->click();
  EXPECT_FALSE(dlg.force_relay_check()->isEnabled());
  dlg.rvs_check()->click();
  EXPECT_TRUE(dlg.force_relay_check()->isEnabled());
  dlg.force_relay_check()->click();
  dlg.ok_button()->click();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.m_uuid, "VLM-SIM-000503");
  EXPECT_EQ(dlg.m_low_power, 1);
  EXPECT_EQ(dlg.m_rvs, 1);
  EXPECT_EQ(dlg.m_force_relay, 1);
  EXPECT_EQ(dlg.m_4g, 0);
  EXPECT_EQ(dlg.m_webrtc, 0);
  EXPECT_EQ(dlg.m_webrtc2, 0);
}

TEST_F(DialogsTest, GetTextShowsTableTextsAndReturnsTheEdit) {
  std::string text = "Garden";
  OnNextModal([](QWidget* w) {
    auto* dlg = static_cast<CGetTextDlg*>(w);
    EXPECT_EQ(dlg->windowTitle(), "Add Group");
    EXPECT_EQ(dlg->prompt_label()->text(), "Name of group");
    EXPECT_EQ(dlg->edit()->text(), "Garden");
    dlg->edit()->setText("Yard");
    dlg->accept();
  });
  EXPECT_EQ(CGetTextDlg::GetText(nullptr, IDS_ADD_GROUP, IDS_GROUP_NAME, &text), 1);
  EXPECT_EQ(text, "Yard");
  OnNextModal([](QWidget* w) {
    EXPECT_EQ(w->windowTitle(), "");  // 137 has no entry
    static_cast<CGetTextDlg*>(w)->edit()->setText("ignored");
    static_cast<QDialog*>(w)->reject();
  });
  EXPECT_EQ(CGetTextDlg::GetText(nullptr, 137, IDS_GROUP_NAME, &text), 0);
  EXPECT_EQ(text, "Yard");
}

TEST_F(DialogsTest, AboutShowsTitleAndVersion) {
  SetWindowTitle("Velmora");
  CAboutDlg dlg;
  EXPECT_EQ(dlg.windowTitle(), "About Velmora");
  EXPECT_EQ(dlg.version_label()->text().toStdString(), "Velmora " + GetFileVersionText());
}

TEST_F(DialogsTest, ChineseTemplates) {
  SetUiLanguageOverride(kLangChinese);
  SetMaxIdleTime(300);
  EXPECT_EQ(CSetIdleDlg().windowTitle(), QString::fromUtf8("自动关闭时间设置"));
  EXPECT_EQ(CAboutDlg().windowTitle(), QString::fromUtf8("关于 Velmora"));
  CLoginDlg login;
  EXPECT_EQ(login.windowTitle(), QString::fromUtf8("用户登录"));
  EXPECT_EQ(login.login_button()->text(), QString::fromUtf8("登  录"));
  EXPECT_EQ(login.save_check()->text(), QString::fromUtf8("保存口令"));
  EXPECT_EQ(login.password_edit()->placeholderText(), QString::fromUtf8("输入密码"));
  EXPECT_EQ(login.user_combo()->lineEdit()->placeholderText(), QString::fromUtf8("输入手机号或邮箱"));
  CAccessByUuidDlg uuid;
  EXPECT_NE(uuid.findChildren<QCheckBox*>().size(), 0);
  bool low_power = false;
  for (QCheckBox* c : uuid.findChildren<QCheckBox*>()) low_power |= c->text() == QString::fromUtf8("低功耗");
  EXPECT_TRUE(low_power);
  CGetTextDlg text(nullptr, LoadUiString(IDS_CHANGE_GROUP_NAME), LoadUiString(IDS_GROUP_NAME), "");
  EXPECT_EQ(text.windowTitle(), QString::fromUtf8("修改组名"));
}

TEST_F(DialogsTest, LoginDialogStartsFromTheSettings) {
  apptest::WriteFile(config(), "[login]\nuser=bob\n[accounts]\nann=pw-a\nbob=pw-b\n[accounts.2]\ncat=pw-c\n");
  LoadAccounts(0);
  CLoginDlg dlg;
  EXPECT_EQ(dlg.windowTitle(), "Login");
  EXPECT_EQ(dlg.user_combo()->count(), 2);
  EXPECT_EQ(dlg.user_combo()->itemText(0), "ann");
  EXPECT_EQ(dlg.user_combo()->currentText(), "bob");
  EXPECT_EQ(dlg.password_edit()->text(), "pw-b");
  EXPECT_EQ(dlg.password_edit()->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dlg.password_edit()->placeholderText(), "Password");
  EXPECT_EQ(dlg.user_combo()->lineEdit()->placeholderText(), "Phone number or e-mail");
  EXPECT_TRUE(dlg.save_check()->isChecked());
  EXPECT_TRUE(dlg.env_combo()->isHidden());
  // Choosing a user from the list puts its password in.
  emit dlg.user_combo()->activated(0);
  EXPECT_EQ(dlg.password_edit()->text(), "pw-a");
  // The hot key shows and hides the environment list.
  dlg.OnHotKey();
  EXPECT_FALSE(dlg.env_combo()->isHidden());
  dlg.OnHotKey();
  EXPECT_TRUE(dlg.env_combo()->isHidden());
  // Another environment reloads its own accounts.
  dlg.env_combo()->setCurrentIndex(2);
  EXPECT_EQ(dlg.env_index(), 2);
  EXPECT_EQ(dlg.user_combo()->count(), 1);
  EXPECT_EQ(dlg.user_combo()->itemText(0), "cat");
  EXPECT_EQ(dlg.user_combo()->currentText(), "bob");  // the last user stays typed in
  EXPECT_EQ(dlg.password_edit()->text(), "");
  EXPECT_EQ(AccountStore(), (AccountMap{{"cat", "pw-c"}}));
}

TEST_F(DialogsTest, LoginDialogShowsTheEnvironmentListForEnvTwo) {
  apptest::WriteFile(config(), "[config]\nenv=2\n");
  CLoginDlg dlg;
  EXPECT_FALSE(dlg.env_combo()->isHidden());
  EXPECT_EQ(dlg.env_combo()->currentText(), "Pre");
  EXPECT_EQ(dlg.env_index(), 2);
  QStringList items;
  for (int i = 0; i < dlg.env_combo()->count(); ++i) items << dlg.env_combo()->itemText(i);
  EXPECT_EQ(items, (QStringList{"Product", "Test", "Pre"}));
}

}  // namespace
