// The button bar under QTest mouse sequences, the tooltip's delay and offset, the toast's size and timing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

#include "app/gui/bmpbtn_container.h"
#include "app/ui/strings.h"
#include "tests/app/app_test_util.h"

namespace {

// Buttons in a row, 20 x 20 each at x = 0, 30, 60, ...: push 1, track 2, check 3, radio 4 and 5 (group 1),
// radio 6 (group 2), repeat 7, hidden 8, disabled 9.
class Bar : public CBmpbtnContainer {
 public:
  std::vector<std::pair<int, int>> events;  // (id, event)
  int repeat_index = 6;

  int GetButtonStyle(int index) const override {
    int s = CBmpbtnContainer::GetButtonStyle(index);
    return index == repeat_index ? s | 0x80 : s;
  }
  void OnButtonEvent(int index, int event) override { events.emplace_back(IdFromIndex(index), event); }
  QString GetTooltipText(int index) const override {
    return IdFromIndex(index) == 2 ? QString() : QStringLiteral("tip %1").arg(IdFromIndex(index));
  }
};

class ToolbarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    bar_ = std::make_unique<Bar>();
    ASSERT_TRUE(dir_.isValid());
    QImage img(20, 20, QImage::Format_RGB32);
    img.fill(Qt::blue);
    img.save(dir_.filePath("n.bmp"), "BMP");
    std::string path = dir_.filePath("bar.desc").toStdString();
    apptest::WriteFile(path,
                       "[basic]\nwidth=300\nheight=40\n[button]\n"
                       "1,n,n,n,n,0,0,20,20,button,enabled,\n"
                       "2,n,n,n,n,30,0,20,20,track_button,enabled,\n"
                       "3,n,n,n,n,60,0,20,20,check,enabled,\n"
                       "4,n,n,n,n,90,0,20,20,checkgroup(1),enabled|checked,\n"
                       "5,n,n,n,n,120,0,20,20,checkgroup(1),enabled,\n"
                       "6,n,n,n,n,150,0,20,20,checkgroup(2),enabled|checked,\n"
                       "7,n,n,n,n,180,0,20,20,button,enabled,\n"
                       "8,n,n,n,n,210,0,20,20,button,enabled|hidden,\n"
                       "9,n,n,n,n,240,0,20,20,button,,\n");
    ASSERT_EQ(bar_->LoadSkinFile(path), 1);
    bar_->resize(300, 40);
    bar_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(bar_.get()));
  }
  static QPoint At(int index) { return QPoint(index * 30 + 10, 10); }
  static constexpr QPoint kOff{290, 35};
  // Moves are sent straight to the bar: the offscreen platform drops QTest's first move after a release.
  void Move(QPoint p) {
    QMouseEvent e(QEvent::MouseMove, p, bar_->mapToGlobal(p), Qt::NoButton, held_, {});
    QApplication::sendEvent(bar_.get(), &e);
  }
  void Press(QPoint p) {
    QTest::mousePress(bar_.get(), Qt::LeftButton, {}, p);
    held_ = Qt::LeftButton;
  }
  void Release(QPoint p) {
    QTest::mouseRelease(bar_.get(), Qt::LeftButton, {}, p);
    held_ = Qt::NoButton;
  }

  QTemporaryDir dir_;
  std::unique_ptr<Bar> bar_;
  Qt::MouseButtons held_ = Qt::NoButton;
};

TEST_F(ToolbarTest, ClickAndDragOffAndBack) {
  Move(At(0));
  EXPECT_EQ(bar_->current_button(), 0);
  EXPECT_EQ(bar_->tracking(), 2);
  EXPECT_EQ(bar_->ShownState(0), kDrawHover);
  EXPECT_FALSE(bar_->captured());  // hovering does not capture
  Press(At(0));
  EXPECT_EQ(bar_->ShownState(0), kDrawPressed);
  EXPECT_TRUE(bar_->captured());
  Move(kOff);  // dragged off: drawn normal, no click
  EXPECT_EQ(bar_->ShownState(0), kDrawNormal);
  EXPECT_EQ(bar_->tracking(), 0);
  Move(At(0));  // back on: pressed again
  EXPECT_EQ(bar_->ShownState(0), kDrawPressed);
  Release(At(0));
  ASSERT_EQ(bar_->events.size(), 1u);
  EXPECT_EQ(bar_->events[0], std::make_pair(1, kBtnEventClick));
  EXPECT_EQ(bar_->ShownState(0), kDrawHover);
  EXPECT_EQ(bar_->tracking(), 2);
  // Pressed and released off it: nothing.
  bar_->events.clear();
  Press(At(0));
  Move(kOff);
  Release(kOff);
  EXPECT_TRUE(bar_->events.empty());
  EXPECT_EQ(bar_->current_button(), -1);
}

TEST_F(ToolbarTest, TrackButtonPressAndReleaseEvents) {
  using Ev = std::vector<std::pair<int, int>>;
  Move(At(1));
  Press(At(1));
  EXPECT_EQ(bar_->events, (Ev{{2, kBtnEventPress}}));
  Move(kOff);
  Release(kOff);
  EXPECT_EQ(bar_->events, (Ev{{2, kBtnEventPress}, {2, kBtnEventRelease}}));
  bar_->events.clear();
  Move(At(1));
  Press(At(1));
  Release(At(1));
  EXPECT_EQ(bar_->events, (Ev{{2, kBtnEventPress}, {2, kBtnEventRelease}}));
}

TEST_F(ToolbarTest, CheckAndRadioToggling) {
  auto click = [&](int i) {
    Move(At(i));
    Press(At(i));
    Release(At(i));
    Move(kOff);
  };
  click(2);
  EXPECT_TRUE(bar_->GetButtonState(2) & kBtnChecked);
  click(2);
  EXPECT_FALSE(bar_->GetButtonState(2) & kBtnChecked);
  EXPECT_EQ(bar_->events.size(), 2u);
  bar_->events.clear();
  click(3);  // checked radio clicked again: no event, stays checked
  EXPECT_TRUE(bar_->events.empty());
  EXPECT_TRUE(bar_->GetButtonState(3) & kBtnChecked);
  click(4);  // the other of group 1: 4 unchecked, group 2 untouched
  EXPECT_EQ(bar_->events.size(), 1u);
  EXPECT_TRUE(bar_->GetButtonState(4) & kBtnChecked);
  EXPECT_FALSE(bar_->GetButtonState(3) & kBtnChecked);
  EXPECT_EQ(bar_->ShownState(3), kDrawNormal);
  EXPECT_TRUE(bar_->GetButtonState(5) & kBtnChecked);
  bar_->SetButtonChecked(3, true);  // programmatic check also unchecks the group
  EXPECT_FALSE(bar_->GetButtonState(4) & kBtnChecked);
}

TEST_F(ToolbarTest, HiddenAndDisabledButtons) {
  Move(At(7));
  EXPECT_EQ(bar_->current_button(), -1);  // hidden: nothing reacts
  Press(At(7));
  Release(At(7));
  Move(At(8));
  Press(At(8));
  Release(At(8));
  EXPECT_TRUE(bar_->events.empty());
  EXPECT_EQ(bar_->ShownState(8), kDrawDisabled);
  bar_->SetButtonEnabled(8, true);
  EXPECT_EQ(bar_->ShownState(8), kDrawNormal);
}

TEST_F(ToolbarTest, RepeatWhileHeld) {
  Move(At(6));
  Press(At(6));
  EXPECT_TRUE(bar_->HasTimer(kRepeatTimer));
  EXPECT_TRUE(QTest::qWaitFor([&] { return bar_->events.size() >= 2; }, 3000));
  Release(At(6));
  EXPECT_FALSE(bar_->HasTimer(kRepeatTimer));
  size_t n = bar_->events.size();  // ticks while held plus the release's click
  for (auto& e : bar_->events) EXPECT_EQ(e, std::make_pair(7, kBtnEventClick));
  QTest::qWait(500);
  EXPECT_EQ(bar_->events.size(), n);
  // Released off the button: the repeat stops too.
  Move(kOff);
  Move(At(6));
  Press(At(6));
  Move(kOff);
  Release(kOff);
  EXPECT_FALSE(bar_->HasTimer(kRepeatTimer));
}

TEST_F(ToolbarTest, DeactivationCancelsThePressAndTheTip) {
  bar_->EnableToolTips(true);
  Move(At(0));
  ASSERT_TRUE(QTest::qWaitFor([&] { return bar_->tooltip()->isVisible(); }, 2000));
  QEvent deactivate(QEvent::WindowDeactivate);
  QApplication::sendEvent(bar_.get(), &deactivate);
  EXPECT_FALSE(bar_->tooltip()->isVisible());
  EXPECT_EQ(bar_->ShownState(0), kDrawNormal);
  Press(At(0));
  EXPECT_TRUE(bar_->captured());
  QApplication::sendEvent(bar_.get(), &deactivate);
  EXPECT_FALSE(bar_->captured());
  EXPECT_EQ(bar_->ShownState(0), kDrawNormal);
}

TEST_F(ToolbarTest, LeavingTheWindowKeepsTheHoverLook) {
  Move(At(0));
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(bar_.get(), &leave);
  EXPECT_EQ(bar_->ShownState(0), kDrawHover);
  EXPECT_EQ(bar_->current_button(), 0);
  Move(kOff);  // the next mouse message ends it
  EXPECT_EQ(bar_->ShownState(0), kDrawNormal);
  EXPECT_EQ(bar_->current_button(), -1);
}

TEST_F(ToolbarTest, TooltipDelayOffsetAndHide) {
  bar_->EnableToolTips(true);
  ASSERT_NE(bar_->tooltip(), nullptr);
  Move(At(0));
  EXPECT_EQ(bar_->tooltip_target(), 0);
  EXPECT_TRUE(bar_->HasTimer(kTooltipDelayTimer));
  QTest::qWait(150);
  EXPECT_FALSE(bar_->tooltip()->isVisible());  // not before the delay
  ASSERT_TRUE(QTest::qWaitFor([&] { return bar_->tooltip()->isVisible(); }, 2000));
  EXPECT_EQ(bar_->tooltip()->text(), "tip 1");
  QPoint cursor = bar_->mapToGlobal(At(0));
  EXPECT_EQ(bar_->tooltip()->pos().y(), cursor.y() + kTipOffsetY);
  EXPECT_EQ(bar_->tooltip()->pos().x(), cursor.x());
  EXPECT_EQ(bar_->tooltip_target(), -1);
  Press(At(0));  // pressing hides it
  EXPECT_FALSE(bar_->tooltip()->isVisible());
  Release(At(0));
  Move(kOff);
  Move(At(2));  // another button restarts the delay for that one
  EXPECT_EQ(bar_->tooltip_target(), 2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return bar_->tooltip()->isVisible(); }, 2000));
  EXPECT_EQ(bar_->tooltip()->text(), "tip 3");
  Move(kOff);
  EXPECT_FALSE(bar_->tooltip()->isVisible());
  Move(At(1));  // empty tooltip text: nothing shown
  QTest::qWait(600);
  EXPECT_FALSE(bar_->tooltip()->isVisible());
}

TEST(Tooltip, HideDelayAndScreenEdge) {
  apptest::App();
  QWidget owner;
  CToolTipWnd tip(&owner);
  QPoint p(5, 5);
  tip.ShowTip(QStringLiteral("hello"), &p, 100);
  EXPECT_TRUE(tip.isVisible());
  EXPECT_EQ(tip.pos(), QPoint(5, 25));
  EXPECT_EQ(tip.width(), QFontMetrics(tip.font()).horizontalAdvance("hello") + 2 * kTipPadX);
  // Dark like the application, in its sans face (not a serif fallback), light text.
  const QImage look = tip.grab().toImage();
  EXPECT_EQ(look.pixel(tip.width() / 2, 1) & 0xFFFFFF, kTipBackground);
  EXPECT_EQ(tip.font().family(), QApplication::font().family());
  int light = 0;
  for (int y = 0; y < look.height(); ++y)
    for (int x = 0; x < look.width(); ++x)
      if (qGray(look.pixel(x, y)) > 0xA0) ++light;
  EXPECT_GT(light, 10) << "light text on the dark tip";
  EXPECT_TRUE(QTest::qWaitFor([&] { return !tip.isVisible(); }, 2000));
  QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  QPoint corner = screen.bottomRight();
  tip.ShowTip(QStringLiteral("hello"), &corner, 0);
  EXPECT_EQ(tip.geometry().right(), screen.right());
  EXPECT_EQ(tip.geometry().bottom(), screen.bottom());
}

TEST(Toast, SizeCentreAndTiming) {
  apptest::App();
  QWidget owner;
  owner.setGeometry(100, 100, 800, 600);
  owner.show();
  CToast toast;
  toast.Show(QStringLiteral("Loading device list ..."), 0, &owner);
  QRect t = QFontMetrics(toast.font())
                .boundingRect(QRect(0, 0, 480, 40), Qt::AlignLeft | Qt::AlignTop,
                              QStringLiteral("Loading device list ..."));
  EXPECT_EQ(toast.size(), QSize(t.width() + 64, t.height() + 32));
  EXPECT_LE(std::abs(toast.geometry().center().x() - owner.frameGeometry().center().x()), 1);
  EXPECT_LE(std::abs(toast.geometry().center().y() - owner.frameGeometry().center().y()), 1);
  QTest::qWait(100);
  EXPECT_TRUE(toast.isVisible());  // no hide delay: stays
  toast.HideToast();
  EXPECT_FALSE(toast.isVisible());
  SetUiLanguageOverride(kLangEnglish);
  toast.ShowString(IDS_CLOSING_BACKGROUND, 100, nullptr);
  EXPECT_EQ(toast.text(), "Closing the background task ...");
  EXPECT_TRUE(QTest::qWaitFor([&] { return !toast.isVisible(); }, 2000));
  ClearUiLanguageOverride();
  // The painted toast: black with yellow text.
  QImage img = toast.grab().toImage();
  EXPECT_EQ(img.pixelColor(1, 1), QColor(Qt::black));
  bool yellow = false;
  for (int y = 0; y < img.height() && !yellow; ++y)
    for (int x = 0; x < img.width() && !yellow; ++x) yellow = img.pixelColor(x, y) == QColor(255, 255, 0);
  EXPECT_TRUE(yellow);
}

TEST(Toolbar, TooltipTextFromStringTable) {
  apptest::App();
  QTemporaryDir dir;
  QImage img(4, 4, QImage::Format_RGB32);
  img.save(dir.filePath("n.bmp"), "BMP");
  std::string path = dir.filePath("s.desc").toStdString();
  apptest::WriteFile(path, "[button]\n126,n,,,,0,0,4,4,button,enabled,\n5,n,,,,0,0,4,4,button,enabled,\n");
  CBmpbtnContainer w;
  ASSERT_EQ(w.LoadSkinFile(path), 1);
  SetUiLanguageOverride(kLangEnglish);
  EXPECT_EQ(w.GetTooltipText(0), LoadUiString(126).section(QLatin1Char('\n'), -1));
  EXPECT_EQ(w.GetTooltipText(1), QString());
  EXPECT_EQ(w.GetTooltipText(7), QString());
  ClearUiLanguageOverride();
  EXPECT_EQ(w.IndexFromId(5), 1);
  EXPECT_EQ(w.IndexFromId(6), -1);
  EXPECT_EQ(w.IdFromIndex(2), -1);
  EXPECT_EQ(w.GetButtonState(9), 0);
}

}  // namespace
