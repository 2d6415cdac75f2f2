// The device list: row texts (version, tags), preload and thumbnail rules, the device-list thread with fake
// loads and downloads (hand-over, redraw posts, the pass stopped), posts to a window that is gone, and the
// rows' pixels by device state.
#include "app/device_list.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <atomic>
#include <functional>
#include <thread>

#include "app/gui/device_row.h"
#include "sdk/cloud/orvel_server.h"
#include "tests/app/app_test_util.h"
#include "tests/common/temp_dir.h"

namespace {

DeviceInfo Info(const char* type, const char* way = "wifi", int online = 1, const char* id = "7") {
  DeviceInfo d;
  d.device_type = type;
  d.connect_way = way;
  d.is_online = online;
  d.id = id;
  return d;
}

TEST(DeviceRowText, VersionTakesFourPairsOfDigitsAndNeverReadsPastAShortText) {
  const struct {
    const char* version;
    const char* shown;
  } kCases[] = {
      {"01020304", "Ver 1.2.3.4"}, {"12345678", "Ver 12.34.56.78"}, {"0102030405", "Ver 1.2.3.4"},
      {"0102", "Ver 1.2.0.0"},     {"1", "Ver 10.0.0.0"},           {"", "Ver 0.0.0.0"},
      {"0a02x304", "Ver 0.2.3.4"},
  };
  for (const auto& c : kCases) {
    // A heap copy of exactly the text's bytes: a read past its end is caught by the address sanitizer.
    std::string text(c.version);
    text.shrink_to_fit();
    EXPECT_EQ(DeviceVersionText(text), c.shown) << c.version;
  }
  // Only the characters the text has are read, also through a view of a longer buffer.
  const std::string buffer = "0102999999";
  EXPECT_EQ(DeviceVersionText(buffer.substr(0, 4)), "Ver 1.2.0.0");
}

TEST(DeviceRowText, TagsByTypeAndConnectWay) {
  const struct {
    const char* type;
    const char* way;
    const char* tags;
  } kCases[] = {
      {"lpsim", "sim", "[4G,LP]"}, {"wifi", "wifi", ""},   {"ipc", "sim", ""},        {"sim", "sim", "[4G]"},
      {"drsim", "wifi", ""},       {"lp", "wifi", "[LP]"}, {"lpsim", "wifi", "[LP]"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(DeviceTagText(Info(c.type, c.way)), c.tags) << c.type << "/" << c.way;
}

TEST(DeviceListRules, PreloadAndThumbnails) {
  EXPECT_TRUE(ShouldPreload(Info("ipc"), 3, true));
  EXPECT_FALSE(ShouldPreload(Info("ipc"), 3, false)) << "preload off";
  EXPECT_FALSE(ShouldPreload(Info("ipc", "wifi", 0), 3, true)) << "offline";
  EXPECT_FALSE(ShouldPreload(Info("lp"), 3, true)) << "low power, even online";
  EXPECT_FALSE(ShouldPreload(Info("lpsim", "sim"), 3, true));
  EXPECT_TRUE(ShouldPreload(Info("ipc"), 23, true));
  EXPECT_FALSE(ShouldPreload(Info("ipc"), 24, true)) << "24 devices or more";

  EXPECT_TRUE(ShouldFetchThumbnail(Info("ipc"), 23));
  EXPECT_FALSE(ShouldFetchThumbnail(Info("ipc"), 24));
  EXPECT_FALSE(ShouldFetchThumbnail(Info("ipc", "wifi", 1, ""), 3)) << "added by hand: no service id";
}

// A window that takes the device-list thread's posts and records them.
class RecordingView : public QWidget, public UiWindow, public DeviceListView {
 public:
  RecordingView() : UiWindow(this) {}
  ~RecordingView() override { ClearDeviceNodes(&nodes); }
  void OnDeviceListLoaded(int r, DeviceNodeList* list) override {
    result = r;
    nodes.swap(*list);
    ++loaded;
  }
  void RedrawDeviceRow(int row) override { redrawn.push_back(row); }
  void OnThumbnailPassDone() override { ++done; }
  bool event(QEvent* e) override { return DispatchUiMessage(e) || QWidget::event(e); }

  int result = 1, loaded = 0, done = 0;
  DeviceNodeList nodes;
  std::vector<int> redrawn;
};

DeviceNode* Node(const std::string& id, const std::string& uuid, const std::string& image) {
  auto* n = new DeviceNode();
  n->Info().id = id;
  n->Info().uuid = uuid;
  n->Info().image_path = image;
  n->Info().device_type = "ipc";
  return n;
}

void PumpUntil(const std::function<bool()>& done, int ms = 5000) {
  for (int i = 0; i < ms / 5 && !done(); ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

class DeviceListThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    SetCacheRoot(cache_.path().c_str());
  }
  DeviceListJob Job(RecordingView* view, int count, bool hand_added_second) {
    DeviceListJob job;
    job.window = view->hwnd();
    job.view = view;
    job.load = [count, hand_added_second](DeviceNodeList* nodes) {
      for (int i = 0; i < count; ++i)
        nodes->push_back(Node(hand_added_second && i == 1 ? "" : std::to_string(100 + i),
                              "UUID-" + std::to_string(i),
                              "http://127.0.0.1:1/thumbs/" + std::to_string(i) + ".jpg"));
      return 0;
    };
    job.download = [this](const std::string& url, const std::string& path) {
      urls_.push_back(url);
      return url.find("/2.jpg") != std::string::npos ? 404 : 0;  // the third one fails
    };
    return job;
  }
  TempDir cache_{"velmora_devlist"};
  std::vector<std::string> urls_;
};

TEST_F(DeviceListThreadTest, LoadsHandsOverAndRedrawsTheRowsWhoseThumbnailArrived) {
  RecordingView view;
  SetThumbnailPassRunning(true);
  std::thread t(GetDeviceListThread, Job(&view, 4, true));
  t.join();
  PumpUntil([&] { return view.done == 1; });
  EXPECT_EQ(view.loaded, 1);
  EXPECT_EQ(view.result, 0);
  ASSERT_EQ(view.nodes.size(), 4u);
  EXPECT_EQ(view.nodes[3]->Info().uuid, "UUID-3");
  // The device without a service id is skipped; the failed download redraws nothing.
  ASSERT_EQ(urls_.size(), 3u);
  EXPECT_EQ(urls_[0], "http://127.0.0.1:1/thumbs/0.jpg");
  EXPECT_EQ(urls_[1], "http://127.0.0.1:1/thumbs/2.jpg");
  EXPECT_EQ(view.redrawn, (std::vector<int>{0, 3}));
}

TEST_F(DeviceListThreadTest, ABusyAccountGetsNoThumbnailsAndAFailedLoadNoRows) {
  RecordingView view;
  SetThumbnailPassRunning(true);
  std::thread(GetDeviceListThread, Job(&view, 24, false)).join();
  PumpUntil([&] { return view.done == 1; });
  EXPECT_EQ(view.nodes.size(), 24u);
  EXPECT_TRUE(urls_.empty());

  RecordingView failed;
  DeviceListJob job = Job(&failed, 3, false);
  job.load = [](DeviceNodeList* nodes) {
    nodes->push_back(Node("1", "half", ""));
    return 401;
  };
  std::thread(GetDeviceListThread, job).join();
  PumpUntil([&] { return failed.done == 1; });
  EXPECT_EQ(failed.result, 401);
  EXPECT_TRUE(failed.nodes.empty()) << "a failed load hands over no devices";
}

TEST_F(DeviceListThreadTest, ClearingTheFlagStopsThePassAfterTheCurrentDevice) {
  RecordingView view;
  DeviceListJob job = Job(&view, 6, false);
  job.download = [this](const std::string& url, const std::string&) {
    urls_.push_back(url);
    SetThumbnailPassRunning(false);  // the window closes while this one downloads
    return 0;
  };
  SetThumbnailPassRunning(true);
  std::thread(GetDeviceListThread, job).join();
  PumpUntil([&] { return view.done == 1; });
  EXPECT_EQ(urls_.size(), 1u);
  EXPECT_EQ(view.redrawn, (std::vector<int>{0}));
}

TEST_F(DeviceListThreadTest, PostsToAWindowThatIsGoneAreDroppedAndTheirArgumentsFreed) {
  // The hand-over of the nodes, the redraws and the end of the pass, all queued for a window that goes
  // before they are delivered: nothing runs, nothing leaks (the leak checker sees the nodes and records).
  auto* view = new RecordingView();
  SetThumbnailPassRunning(true);
  std::thread(GetDeviceListThread, Job(view, 3, false)).join();
  const HWND gone = view->hwnd();
  delete view;
  QApplication::processEvents();

  // Posted after it went: refused at once, the argument freed by the drop function.
  EXPECT_FALSE(
      PostUiInvoke(gone, RedrawDeviceListItem, new DeviceRowArg{gone, nullptr, 1}, FreeDeviceRowArg));
  // A failed preload connect frees its argument; a successful one posts to the dead window and is dropped.
  DeviceNode node;
  PreloadConnectCallback(&node, -10008, new DeviceRowArg{gone, nullptr, 0});
  PreloadConnectCallback(&node, 0, new DeviceRowArg{gone, nullptr, 0});
}

// ---- rows ----

int CountColour(const QImage& img, const QRect& r, QRgb colour) {
  int n = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x)
      if ((img.pixel(x, y) & 0xFFFFFF) == colour) ++n;
  return n;
}

QImage Render(const DeviceRowView& v, int width = 290) {
  QImage img(width, kDeviceRowHeight, QImage::Format_RGB32);
  img.fill(Qt::black);
  QPainter p(&img);
  DrawDeviceRow(&p, img.rect(), v);
  return img;
}

TEST(DeviceRowPixels, BackgroundAndTextColourByState) {
  apptest::App();
  const QRect text_area(2, 2, 90, 4 * kRowLineHeight);
  const struct {
    bool online, alive, selected;
    QRgb text, back;
  } kCases[] = {
      {true, true, false, kRowTextAlive, kRowBackground},
      {true, false, false, kRowTextOnline, kRowBackground},
      {false, false, false, kRowTextOffline, kRowBackground},
      // Selected: a muted fill under the texts, which keep their state's colours, and an accent bar.
      {true, false, true, kRowTextOnline, kRowSelectedFill},
      {true, true, true, kRowTextAlive, kRowSelectedFill},
  };
  for (const auto& c : kCases) {
    DeviceRowView v;
    v.name = QStringLiteral("Garden");
    v.uuid = QStringLiteral("VLM-IPC-000502");
    v.version = QStringLiteral("Ver 3.0.10.1");
    v.tags = QStringLiteral("[4G,LP]");
    v.online = c.online;
    v.alive = c.alive;
    v.selected = c.selected;
    const QImage img = Render(v);
    SCOPED_TRACE(testing::Message() << "online " << c.online << " alive " << c.alive << " selected "
                                    << c.selected);
    EXPECT_EQ(img.pixel(1, 1) & 0xFFFFFF, c.selected ? kRowSelected : kRowBackground);
    EXPECT_EQ(img.pixel(96, kDeviceRowHeight - 2) & 0xFFFFFF, c.back);
    EXPECT_GT(CountColour(img, text_area, c.text), 20) << "text in the state's colour";
    // Four lines of text: the last line (tags) has ink too.
    EXPECT_GT(CountColour(img, QRect(2, 2 + 3 * kRowLineHeight, 90, kRowLineHeight), c.text), 5);
    // Only the offline row gets the overlay in the thumbnail area.
    const QRect overlay(kThumbLeft + 40, kThumbTop + 30, kThumbWidth - 80, kThumbHeight - 60);
    const int plain = CountColour(img, overlay, c.back);
    if (c.online) {
      EXPECT_EQ(plain, overlay.width() * overlay.height());
    } else {
      EXPECT_LT(plain, overlay.width() * overlay.height()) << "the offline mark is painted";
    }
  }
  // Without tags only three lines.
  DeviceRowView v;
  v.name = QStringLiteral("Garden");
  v.uuid = QStringLiteral("VLM");
  v.version = QStringLiteral("Ver 1.2.3.4");
  v.online = true;
  EXPECT_EQ(CountColour(Render(v), QRect(2, 2 + 3 * kRowLineHeight, 90, kRowLineHeight), kRowTextOnline), 0);
}

TEST(DeviceRowPixels, ThumbnailFromTheCacheScaledIntoItsPlaceAndTheOverlayOverIt) {
  apptest::App();
  TempDir cache("velmora_rows");
  SetCacheRoot(cache.path().c_str());
  DeviceNodeList nodes{Node("1", "ONLINE-1", "http://127.0.0.1:1/img/a.jpg?sig=1"),
                       Node("2", "OFFLINE-2", "https://cdn.example.test/img/b.png"),
                       Node("3", "NOTHUMB-3", "")};
  nodes[0]->Info().is_online = 1;
  nodes[0]->Info().current_version = "01020304";
  nodes[1]->Info().is_online = 0;
  // Thumbnails in the cache (what the pass downloads), of another size than the row's.
  QImage red(64, 36, QImage::Format_RGB32);
  red.fill(QColor(0xFF, 0, 0));
  std::string a_path, b_path;
  ASSERT_TRUE(UrlToCachePath(nodes[0]->Info().image_path, &a_path));
  ASSERT_TRUE(UrlToCachePath(nodes[1]->Info().image_path, &b_path));
  QDir().mkpath(QFileInfo(QString::fromStdString(a_path)).path());
  ASSERT_TRUE(red.save(QString::fromStdString(a_path), "JPG", 100));
  QImage blue(320, 180, QImage::Format_RGB32);
  blue.fill(QColor(0, 0, 0x80));
  ASSERT_TRUE(blue.save(QString::fromStdString(b_path), "PNG"));

  CDeviceListCtrl list;
  list.SetDeviceLookup([&](int i) { return i >= 0 && i < 3 ? nodes[i] : nullptr; });
  list.resize(294, 400);
  for (int i = 0; i < 3; ++i) list.AppendRow(QString::fromStdString(nodes[i]->Info().uuid), i);
  EXPECT_EQ(list.RowView(0).version, QStringLiteral("Ver 1.2.3.4"));
  EXPECT_EQ(list.RowDeviceIndex(2), 2);

  const QImage row0 = list.RenderRow(0);
  auto near = [](QRgb got, int r, int g, int b) {
    return std::abs(qRed(got) - r) < 24 && std::abs(qGreen(got) - g) < 24 && std::abs(qBlue(got) - b) < 24;
  };
  EXPECT_TRUE(near(row0.pixel(kThumbLeft + 2, kThumbTop + 2), 255, 0, 0));
  EXPECT_TRUE(near(row0.pixel(kThumbLeft + kThumbWidth - 3, kThumbTop + kThumbHeight - 3), 255, 0, 0));
  EXPECT_EQ(row0.pixel(kThumbLeft - 2, 60) & 0xFFFFFF, kRowBackground);
  if (row0.width() > kThumbLeft + kThumbWidth + 1) {
    EXPECT_EQ(row0.pixel(kThumbLeft + kThumbWidth + 1, 60) & 0xFFFFFF, kRowBackground);
  }

  // Offline with a thumbnail: the picture, and the mark OR-painted at the centre.
  const QImage row1 = list.RenderRow(1);
  EXPECT_TRUE(near(row1.pixel(kThumbLeft + 2, kThumbTop + 2), 0, 0, 0x80));
  int lighter = 0;
  for (int y = kThumbTop + 34; y < kThumbTop + 74; ++y)
    for (int x = kThumbLeft + 48; x < kThumbLeft + 144; ++x)
      if (qRed(row1.pixel(x, y)) > 0x60) ++lighter;
  EXPECT_GT(lighter, 30);

  // No thumbnail: the area keeps the row's background.
  const QImage row2 = list.RenderRow(2);
  EXPECT_EQ(row2.pixel(kThumbLeft + 96, kThumbTop + 54) & 0xFFFFFF, kRowBackground);

  // A new download of the same file is read again.
  QImage green(64, 36, QImage::Format_RGB32);
  green.fill(QColor(0, 0xFF, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(green.save(QString::fromStdString(a_path), "PNG"));
  list.RedrawRow(0);
  list.RedrawRow(99);  // out of range: ignored
  EXPECT_TRUE(near(list.RenderRow(0).pixel(kThumbLeft + 2, kThumbTop + 2), 0, 255, 0));
  ClearDeviceNodes(&nodes);
}

TEST(DeviceRowPixels, AnEmptyListSaysNoItemAboveTheMiddle) {
  apptest::App();
  CDeviceListCtrl list;
  list.resize(294, 300);
  list.show();
  QApplication::processEvents();
  const QImage img = list.viewport()->grab().toImage();
  const int h = img.height();
  const int middle = h / 2 - 8;
  int above = 0, below = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < img.width(); ++x)
      if ((img.pixel(x, y) & 0xFFFFFF) == kNoItemText) (y < middle + 8 && y > middle - 12 ? above : below)++;
  EXPECT_GT(above, 10) << "the text sits around 8 pixels above the middle";
  EXPECT_EQ(below, 0);
  EXPECT_EQ(img.pixel(4, 4) & 0xFFFFFF, kRowBackground);
}

}  // namespace
