// The application's one look: with its style applied, message boxes, menus, tooltips and every dialog are
// dark like the main window, with light text and buttons without icons; in both languages. With
// VELMORA_SHOT_DIR set, each is also saved there as a picture (run under Xvfb to see them as shown).
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolTip>
#include <functional>
#include <memory>

#include "app/app_state.h"
#include "app/dialogs/login_dlg.h"
#include "app/dialogs/small_dialogs.h"
#include "app/settings.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "app/ui/style.h"
#include "tests/app/app_test_util.h"
#include "tests/common/temp_dir.h"

namespace {

bool Dark(QRgb c) { return qGray(c) < 0x50; }

// Pixels light enough to be text on the dark ground.
int LightPixels(const QImage& img) {
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (qGray(img.pixel(x, y)) > 0xB0) ++n;
  return n;
}

class LookTest : public ::testing::TestWithParam<UiLanguage> {
 protected:
  static void SetUpTestSuite() { ApplyAppStyle(apptest::App()); }
  void SetUp() override {
    SetAppDataFolder(dir_.path());
    SetUiLanguageOverride(GetParam());
  }
  void TearDown() override {
    ClearUiLanguageOverride();
    SetAppDataFolder(".");
  }
  // Shows w, checks its ground is dark with light text on it, and saves it when asked.
  void Check(QWidget* w, const char* name, bool shown_by_qt = false) {
    SCOPED_TRACE(name);
    if (!shown_by_qt) {
      w->show();
      ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    }
    const QImage img = w->grab().toImage();
    ASSERT_FALSE(img.isNull());
    EXPECT_TRUE(Dark(img.pixel(4, img.height() / 2))) << std::hex << img.pixel(4, img.height() / 2);
    EXPECT_TRUE(Dark(img.pixel(img.width() - 5, 4))) << std::hex << img.pixel(img.width() - 5, 4);
    EXPECT_GT(LightPixels(img), 20) << "light text";
    if (const char* dir = getenv("VELMORA_SHOT_DIR"))
      img.save(QStringLiteral("%1/%2-%3.png").arg(dir, name, GetParam() == kLangChinese ? "zh" : "en"));
  }
  TempDir dir_{"velmora_look"};
};

TEST_P(LookTest, MessageBoxesAreDarkWithAPlainOkButton) {
  std::unique_ptr<QMessageBox> box =
      MakeMessageBox(nullptr, QStringLiteral("Error: -24\nThe connection through the TCP relay failed"),
                     QStringLiteral("ERROR"), kBoxError);
  QAbstractButton* ok = box->button(QMessageBox::Ok);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(ok->icon().isNull()) << "no icon on the OK button";
  EXPECT_EQ(ok->text(), UiText("OK", "确定"));
  Check(box.get(), "message-box");
}

TEST_P(LookTest, MenusAreDark) {
  QMenu menu;
  menu.addAction(UiText("&Interval to auto-close for 4G camera ...", "4G摄像头自动关闭时间(&I)..."));
  menu.addSeparator();
  QAction* list = menu.addAction(UiText("&Vertical List with Thumbnail", "带缩略图的竖直列表(&V)"));
  list->setCheckable(true);
  list->setChecked(true);
  menu.addAction(UiText("&Tree view", "树形视图(&T)"))->setCheckable(true);
  menu.addSeparator();
  menu.addAction(UiText("&About...", "关于(&A)..."));
  menu.popup(QPoint(100, 100));
  Check(&menu, "menu");
  menu.hide();
}

TEST_P(LookTest, TooltipsAreDarkAndSans) {
  QWidget owner;
  owner.resize(200, 100);
  owner.show();
  QToolTip::showText(owner.mapToGlobal(QPoint(20, 20)), UiText("Snapshot", "抓图"), &owner);
  QWidget* tip = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->inherits("QTipLabel") && w->isVisible()) tip = w;
    return tip != nullptr;
  }));
  Check(tip, "tooltip", true);
  EXPECT_EQ(QToolTip::font().family(), QApplication::font().family());
  QToolTip::hideText();
}

TEST_P(LookTest, DialogsAreDark) {
  CLoginDlg login(nullptr);
  Check(&login, "login");
  CSetIdleDlg idle(nullptr);
  Check(&idle, "idle-time");
  CAboutDlg about(nullptr);
  Check(&about, "about");
  CAccessByUuidDlg uuid(nullptr);
  Check(&uuid, "access-by-uuid");
}

INSTANTIATE_TEST_SUITE_P(Languages, LookTest, ::testing::Values(kLangEnglish, kLangChinese),
                         [](const auto& info) { return info.param == kLangChinese ? "Chinese" : "English"; });

}  // namespace
