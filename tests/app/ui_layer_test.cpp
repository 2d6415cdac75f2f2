// The application layer: window handles and posted messages, the blocking runner, the string tables.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include "app/ui/blocking_runner.h"
#include "app/ui/error_text.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "app/ui/window_registry.h"
#include "tests/app/app_test_util.h"

namespace {

// A window that records the messages it gets.
class Recorder : public QWidget, public UiWindow {
 public:
  Recorder() : UiWindow(this) {}
  std::vector<std::pair<uint32_t, WPARAM>> got;
  std::thread::id invoke_thread;

 protected:
  bool event(QEvent* e) override { return DispatchUiMessage(e) || QWidget::event(e); }
  void OnMessage(UiMessageEvent* e) override {
    got.emplace_back(e->message(), e->wparam());
    UiWindow::OnMessage(e);
  }
};

std::atomic<int> g_ran{0};
std::atomic<int> g_dropped{0};
std::thread::id g_ran_on;

void CountRun(void* arg) {
  g_ran_on = std::this_thread::get_id();
  delete static_cast<int*>(arg);
  ++g_ran;
}
void CountDrop(void* arg) {
  delete static_cast<int*>(arg);
  ++g_dropped;
}

void Drain() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
  QCoreApplication::sendPostedEvents();
}

TEST(WindowRegistry, MessagesFromWorkersReachALiveWindowInOrder) {
  apptest::App();
  Recorder w;
  HWND h = w.hwnd();
  EXPECT_TRUE(UiIsWindow(h));
  std::thread worker([h] {
    EXPECT_TRUE(PostMessage(h, WM_AV_EVENT, 1, 7));
    EXPECT_TRUE(PostMessage(h, WM_PANE_SELECTED, 3, 0));
    EXPECT_TRUE(PostMessage(h, WM_TIMELINE_EVENT, 9, 120));
  });
  worker.join();
  Drain();
  ASSERT_EQ(w.got.size(), 3u);
  EXPECT_EQ(w.got[0], std::make_pair(WM_AV_EVENT, WPARAM(1)));
  EXPECT_EQ(w.got[1], std::make_pair(WM_PANE_SELECTED, WPARAM(3)));
  EXPECT_EQ(w.got[2], std::make_pair(WM_TIMELINE_EVENT, WPARAM(9)));
}

TEST(WindowRegistry, InvokeRunsOnTheGuiThreadAndFreesItsArgument) {
  apptest::App();
  Recorder w;
  g_ran = 0;
  g_dropped = 0;
  std::thread worker([h = w.hwnd()] { EXPECT_TRUE(PostUiInvoke(h, CountRun, new int(5), CountDrop)); });
  worker.join();
  Drain();
  EXPECT_EQ(g_ran, 1);
  EXPECT_EQ(g_dropped, 0);
  EXPECT_EQ(g_ran_on, std::this_thread::get_id());
}

// Posts to a window that is gone are dropped (and an invoke's argument freed), both when the window went
// before the post and when it goes with the message still queued; ASan sees any use of the freed window.
TEST(WindowRegistry, PostsToAWindowThatIsGoneAreDropped) {
  apptest::App();
  g_ran = 0;
  g_dropped = 0;
  auto* w = new Recorder;
  HWND h = w->hwnd();
  EXPECT_TRUE(PostMessage(h, WM_AV_EVENT, 1, 0));
  EXPECT_TRUE(PostUiInvoke(h, CountRun, new int(1), CountDrop));
  delete w;  // with both still queued
  EXPECT_FALSE(UiIsWindow(h));
  EXPECT_EQ(g_dropped, 1);
  EXPECT_FALSE(PostMessage(h, WM_AV_EVENT, 2, 0));
  EXPECT_FALSE(PostUiInvoke(h, CountRun, new int(2), CountDrop));
  EXPECT_EQ(g_dropped, 2);
  EXPECT_FALSE(PostMessage(0, WM_AV_EVENT, 0, 0));
  Drain();
  EXPECT_EQ(g_ran, 0);
}

TEST(WindowRegistry, RacingPostsAndDestructionNeverTouchAFreedWindow) {
  apptest::App();
  g_ran = 0;
  g_dropped = 0;
  std::atomic<bool> stop{false};
  std::atomic<HWND> current{0};
  std::atomic<int> posted{0};
  std::thread poster([&] {
    while (!stop) {
      PostUiInvoke(current.load(), CountRun, new int(0), CountDrop);  // queued or dropped at once
      ++posted;
    }
  });
  for (int round = 0; round < 200; ++round) {
    auto* w = new Recorder;
    current = w->hwnd();
    QCoreApplication::processEvents();
    delete w;
  }
  stop = true;
  poster.join();
  Drain();
  EXPECT_EQ(g_ran + g_dropped, posted.load());
}

// A timer that ticks into a window that is gone would touch freed memory: it goes with the window.
TEST(WindowTimers, NumberedTimersTickUntilKilledOrTheWindowGoes) {
  apptest::App();
  struct Ticker : Recorder {
    std::map<int, int> ticks;
    void OnTimer(int id) override { ++ticks[id]; }
  };
  auto* w = new Ticker;
  w->SetTimer(21, 5);
  w->SetTimer(22, 5);
  w->SetTimer(22, 5);  // restarted, still one timer
  EXPECT_TRUE(QTest::qWaitFor([&] { return w->ticks[21] > 2 && w->ticks[22] > 2; }, 5000));
  w->KillTimer(22);
  EXPECT_FALSE(w->HasTimer(22));
  int at_kill = w->ticks[22];
  QTest::qWait(30);
  EXPECT_EQ(w->ticks[22], at_kill);
  EXPECT_TRUE(w->HasTimer(21));
  delete w;
  QTest::qWait(20);  // ASan would see a tick into the freed window
}

// The runner: the operation runs on another thread, the window keeps taking timers and posted messages and
// painting, user input is dropped, and the wait cursor shows meanwhile.
TEST(BlockingRunner, KeepsTheWindowAliveAndDropsInput) {
  apptest::App();
  Recorder w;
  auto* edit = new QLineEdit(&w);
  w.resize(200, 100);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  edit->setFocus();
  std::atomic<int> ticks{0};
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(10);
  bool wait_cursor = false;
  bool nested = false;
  std::atomic<bool> input_sent{false};
  std::thread::id op_thread;
  int result = RunBlocking([&] {
    op_thread = std::this_thread::get_id();
    PostMessage(w.hwnd(), WM_AV_EVENT, 42, 0);
    QMetaObject::invokeMethod(
        &w,
        [&] {
          wait_cursor =
              QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
          nested = IsBlocking();
          QTest::keyClicks(edit, "typed");
          QTest::mouseClick(edit, Qt::LeftButton);
          input_sent = true;
        },
        Qt::QueuedConnection);
    // Until the window has gone on taking its timer for a while (bounded).
    for (int i = 0; i < 1000 && (ticks < 3 || !input_sent); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return -10008;
  });
  EXPECT_EQ(result, -10008);
  EXPECT_NE(op_thread, std::this_thread::get_id());
  EXPECT_GT(ticks, 2);
  ASSERT_FALSE(w.got.empty());
  EXPECT_EQ(w.got[0].second, WPARAM(42));
  EXPECT_TRUE(wait_cursor);
  EXPECT_TRUE(nested);
  EXPECT_TRUE(input_sent);
  EXPECT_EQ(edit->text(), "");
  EXPECT_FALSE(IsBlocking());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  // Input works again afterwards.
  QTest::keyClicks(edit, "ok");
  EXPECT_EQ(edit->text(), "ok");
}

TEST(BlockingRunner, AQuickOperationAndAnotherThreadNeedNoLoop) {
  apptest::App();
  EXPECT_EQ(RunBlocking([] { return 7; }), 7);
  int r = 0;
  std::thread t([&] { r = RunBlocking([] { return 3; }); });
  t.join();
  EXPECT_EQ(r, 3);
}

TEST(StringTable, BothLanguagesExactly) {
  struct Case {
    int id;
    const char* en;
    const char* zh;
  } cases[] = {
      {IDS_CONNECTING, "Connecting ...", "连接中..."},
      {IDS_ERROR, "ERROR !", "错误 ！"},
      {IDS_IDLE_DISCONNECTED, "Disonnected due to be idle too long. Double click to connect again.",
       "因长时间没有操作，图像断开。双击重新连接。"},
      {IDS_TRY_LATER, "Try %d seconds later.", "%d 秒后重试"},
      {IDS_LOGON, "Logon", "退出登录"},
      {IDS_USER_CUE, "Phone number or e-mail", "输入手机号或邮箱"},
      {IDS_PASSWORD_CUE, "Password", "输入密码"},
      {IDS_INVALID_LOGIN, "Invalid user name or password !", "无效用户名或密码！"},
      {IDS_CANNOT_CONNECT, "Can not connect to server !", "连接服务器失败！"},
      {IDS_INFORMATION, "Information", "提示"},
      {IDS_GROUP_NAME, "Name of group", "分组名称"},
      {IDS_CLOSING_BACKGROUND, "Closing the background task ...", "正在关闭后参操作，请稍候..."},
      {137, "", ""},
      {0, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(UiStringUtf8(c.id, kLangEnglish), c.en) << c.id;
    EXPECT_STREQ(UiStringUtf8(c.id, kLangChinese), c.zh) << c.id;
  }
  int present = 0;
  for (int id = 100; id < 150; ++id) present += *UiStringUtf8(id, kLangEnglish) != 0;
  EXPECT_EQ(present, 40);
}

TEST(MessageBoxes, TextsFromTheTableWithAnOptionalDetail) {
  apptest::App();
  std::vector<std::tuple<QString, QString, UiBoxIcon>> shown;
  SetMessageBoxHook([&](QWidget*, const QString& text, const QString& caption, UiBoxIcon icon) {
    shown.emplace_back(text, caption, icon);
    return IDOK;
  });
  SetUiLanguageOverride(kLangEnglish);
  EXPECT_EQ(ShowErrorBox(nullptr, IDS_CANNOT_CONNECT, "curl 7"), IDOK);
  EXPECT_EQ(ShowInfoBox(nullptr, IDS_NO_PLAYBACK_LIST), IDOK);
  SetUiLanguageOverride(kLangChinese);
  ShowErrorBox(nullptr, IDS_INVALID_LOGIN);
  ClearUiLanguageOverride();
  SetMessageBoxHook(nullptr);
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0],
            std::make_tuple(QString("Can not connect to server !\n[curl 7]"), QString("ERROR !"), kBoxError));
  EXPECT_EQ(shown[1], std::make_tuple(QString("No playback list!"), QString("Information"), kBoxInformation));
  EXPECT_EQ(shown[2], std::make_tuple(QString::fromUtf8("无效用户名或密码！"), QString::fromUtf8("错误 ！"),
                                      kBoxError));
}

TEST(StringTable, LanguageFollowsTheLocaleUnlessOverridden) {
  EXPECT_EQ(UiLanguageOfLocale(QLocale(QLocale::Chinese, QLocale::China)), kLangChinese);
  EXPECT_EQ(
      UiLanguageOfLocale(QLocale(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::Singapore)),
      kLangChinese);
  EXPECT_EQ(UiLanguageOfLocale(QLocale(QLocale::English, QLocale::UnitedStates)), kLangEnglish);
  EXPECT_EQ(UiLanguageOfLocale(QLocale(QLocale::German, QLocale::Germany)), kLangEnglish);
  QLocale::setDefault(QLocale(QLocale::English));
  SetUiLanguageOverride(kLangChinese);
  EXPECT_EQ(LoadUiString(IDS_INFORMATION), QString::fromUtf8("提示"));
  EXPECT_EQ(UiText("OK", "确定"), QString::fromUtf8("确定"));
  SetUiLanguageOverride(kLangEnglish);
  EXPECT_EQ(LoadUiString(IDS_INFORMATION), "Information");
  ClearUiLanguageOverride();
  struct {
    const char* text;
    bool ok;
    UiLanguage lang;
  } parse[] = {{"en", true, kLangEnglish},
               {"zh", true, kLangChinese},
               {"zh_CN", true, kLangChinese},
               {"fr", false, kLangEnglish},
               {"", false, kLangEnglish}};
  for (const auto& p : parse) {
    UiLanguage got = kLangEnglish;
    EXPECT_EQ(ParseUiLanguage(p.text, &got), p.ok) << p.text;
    if (p.ok) {
      EXPECT_EQ(got, p.lang) << p.text;
    }
  }
}

// Every code of the device link's, the P2P library's and the service's tables reads as words in both
// languages: none falls to the catch-all text, and the Chinese text is not the English one.
TEST(ErrorTexts, EveryCodeOfEachTableHasItsMeaning) {
  struct Table {
    const char* name;
    std::function<QString(int)> meaning;
    std::vector<int> codes;
  };
  const Table tables[] = {
      {"device link", DeviceErrorMeaning,
       {-10001, -10002, -10003, -10004, -10005, -10006, -10007, -10008, -10009, -10010, -10011, -10012, -10013,
        -10014, -10016, -10017, -10018, -10019, -10020, -10100, -10101, -10102, -10103, -10104, -10105, -10106}},
      {"P2P library", DeviceErrorMeaning, {-1,  -2,  -3,  -4,  -5,  -6,  -7,  -8,  -9,  -10, -11, -12, -13,
                                           -14, -16, -17, -18, -19, -20, -22, -23, -24, -25}},
      {"service", ServiceErrorMeaning,
       {-1, -2, -5, -6, -7, -8, -12, -100, -10012, 401, 51023, 403, 404, 500, 503, 302, 40001, 4000001, 4000002,
        4000003}},
  };
  for (const Table& t : tables) {
    for (int code : t.codes) {
      SCOPED_TRACE(testing::Message() << t.name << " " << code);
      SetUiLanguageOverride(kLangEnglish);
      const QString en = t.meaning(code);
      SetUiLanguageOverride(kLangChinese);
      const QString zh = t.meaning(code);
      EXPECT_FALSE(en.isEmpty());
      EXPECT_NE(en, "Unknown error");
      EXPECT_NE(en, "Other error");
      EXPECT_FALSE(en.startsWith("Error: ")) << en.toStdString();
      EXPECT_NE(zh, en);
      EXPECT_NE(zh, QString::fromUtf8("未知错误"));
    }
  }
  SetUiLanguageOverride(kLangEnglish);
  // The device link's own texts stay as it gives them; codes outside every table say so.
  EXPECT_EQ(DeviceErrorMeaning(-10008), "Device is offline");
  EXPECT_EQ(DeviceErrorMeaning(-24), "The connection through the TCP relay failed");
  EXPECT_EQ(DeviceErrorMeaning(-30000), "Unknown error");
  EXPECT_EQ(DeviceErrorMeaning(0), "");
  EXPECT_EQ(ConnectErrorMeaning(-10103), "The device's address is not valid");
  EXPECT_EQ(ServiceErrorMeaning(503), "Server error (HTTP 503)");
  EXPECT_EQ(CodeWithMeaning(-6, ServiceErrorMeaning(-6)), "(-6:Could not connect to the service)");
  ClearUiLanguageOverride();
}

}  // namespace
