// The skin the build draws: gui.desc loads whole, names every control and button the main window uses,
// and fits the 1280 x 800 window. With VELMORA_SKIN_SHOT set, a screenshot of the skinned window is saved
// there (run under xvfb-run for review).
#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QPainter>
#include <QTest>
#include <cstdlib>
#include <set>

#include "app/gui/bmpbtn_container.h"
#include "app/gui/device_group_tree.h"
#include "app/main_window.h"
#include "app/ui/strings.h"
#include "tests/app/app_test_util.h"

namespace {

const std::string kSkin = std::string(VELMORA_SKIN_DIR) + "/gui.desc";

class Shot : public CBmpbtnContainer {
 public:
  void DrawTextCallback(QPainter* p, int id, const QRect& rect, uint32_t) override {
    if (id == 1) p->drawText(rect, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("demo@velmora.test"));
  }
};

TEST(SkinArt, MainWindowSkinLoadsWhole) {
  apptest::App();
  Shot w;
  ASSERT_EQ(w.LoadSkinFile(kSkin), 1) << kSkin;
  EXPECT_EQ(w.ref_width(), 1280);
  EXPECT_EQ(w.ref_height(), 800);
  std::set<int> ids;
  for (int i = 0; i < w.GetButtonCount(); ++i) {
    ids.insert(w.IdFromIndex(i));
    SkinRect r;
    w.GetButtonRect(i, &r, nullptr);
    EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= 1280 && r.bottom <= 800) << w.IdFromIndex(i);
    EXPECT_TRUE(w.skin().buttons[i].bitmaps[0]) << w.IdFromIndex(i);
  }
  for (int id : {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011, 1012,
                 1100, 1101, 1103, 1104, 1105, 1106, 1107, 1108, 1109, 1110, 1111, 1112, 1113})
    EXPECT_EQ(ids.count(id), 1u) << id;
  for (uint32_t id : {3001u, 3002u, 3004u, 3005u, 3006u}) EXPECT_GE(w.StaticIndexFromId(id), 0) << id;
  // Hidden quadrant button 1100 has all four bitmaps for the pad.
  const SkinButton& quad = w.skin().buttons[w.IndexFromId(1100)];
  for (const auto& b : quad.bitmaps) EXPECT_TRUE(b);
  // Tree icons and the rest of the art exist beside it.
  for (const char* name : {"tree_group", "tree_online", "tree_offline", "tree_icons", "offline_overlay",
                           "app_icon", "cursor_drag"})
    EXPECT_TRUE(LoadSkinBitmap(VELMORA_SKIN_DIR, "", name)) << name;
}

TEST(SkinArt, Screenshot) {
  const char* shot = std::getenv("VELMORA_SKIN_SHOT");
  apptest::App();
  Shot w;
  ASSERT_EQ(w.LoadSkinFile(kSkin), 1);
  w.resize(w.ref_width(), w.ref_height());
  w.EnableToolTips(true);
  // Stand-ins for the list and the grid so the picture shows a working window.
  QListWidget list(&w);
  list.setStyleSheet(
      QStringLiteral("QListWidget { background: #222428; color: #E8EDF0; border: none; }"
                     "QListWidget::item { height: 44px; padding-left: 6px; }"
                     "QListWidget::item:selected { background: #2F6FEB; }"));
  QIcon icons[3];
  const char* names[3] = {"tree_group", "tree_offline", "tree_online"};
  for (int i = 0; i < 3; ++i)
    icons[i] = QIcon(QPixmap::fromImage(KeyOutWhite(*LoadSkinBitmap(VELMORA_SKIN_DIR, "", names[i]))));
  const char* devs[][2] = {{"Front door", "1"}, {"Garage", "1"}, {"Backyard", "0"}, {"Living room", "1"}};
  for (auto& d : devs) {
    auto* item = new QListWidgetItem(icons[d[1][0] == '1' ? 2 : 1], QString::fromUtf8(d[0]), &list);
    (void)item;
  }
  list.setIconSize(QSize(16, 16));
  list.setCurrentRow(1);
  w.SetControl(3001, &list);
  QWidget grid(&w);
  grid.setStyleSheet(QStringLiteral("background: #0B0C0E;"));
  grid.setAttribute(Qt::WA_StyledBackground);
  w.SetControl(3002, &grid);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  // Hover the settings button so one hover look shows.
  QPoint at(1016 + 18, 20);
  QMouseEvent move(QEvent::MouseMove, at, w.mapToGlobal(at), Qt::NoButton, Qt::NoButton, {});
  QApplication::sendEvent(&w, &move);
  QTest::qWait(50);
  QImage img = w.grab().toImage();
  EXPECT_EQ(img.size(), QSize(1280, 800));
  // The caption strip is the skin's colour, not the class background.
  EXPECT_EQ(img.pixelColor(400, 2), QColor(0x1B, 0x1D, 0x21));
  if (shot) {
    ASSERT_TRUE(img.save(QString::fromUtf8(shot)));
  }
  // Resized: the close button follows the right edge.
  w.resize(1000, 700);
  SkinRect r;
  w.GetButtonRect(w.IndexFromId(1003), &r, nullptr);
  EXPECT_EQ(r.right, 1000);
  EXPECT_EQ(grid.geometry().right(), 1000 - 12 - 1);
}

TEST(SkinArt, MainWindowWithAndWithoutItsSkin) {
  apptest::App();
  CVelmoraDlg w;
  // No gui folder beside the test program: the window still works, drawn with its class background.
  EXPECT_FALSE(w.skin_loaded());
  EXPECT_EQ(w.GetButtonCount(), 0);
  EXPECT_FALSE(w.grab().isNull());
  ASSERT_EQ(w.LoadSkinFile(kSkin), 1);
  SetUiLanguageOverride(kLangEnglish);
  EXPECT_EQ(w.GetTooltipText(w.IndexFromId(1002)), "Split 2x2");
  EXPECT_EQ(w.GetTooltipText(w.IndexFromId(1003)), "Close");
  ClearUiLanguageOverride();
  // The close button's click reaches the window as WM_COMMAND and closes it.
  w.resize(w.ref_width(), w.ref_height());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  if (const char* shot = std::getenv("VELMORA_MAIN_SHOT")) {
    ASSERT_TRUE(w.grab().save(QString::fromUtf8(shot)));
  }
  SkinRect r;
  ASSERT_EQ(w.GetButtonRect(w.IndexFromId(1003), &r, nullptr), 1);
  QPoint at((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  QMouseEvent move(QEvent::MouseMove, at, w.mapToGlobal(at), Qt::NoButton, Qt::NoButton, {});
  QApplication::sendEvent(&w, &move);
  QTest::mouseClick(&w, Qt::LeftButton, {}, at);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 2000));
}

}  // namespace
