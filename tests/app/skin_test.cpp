// The skin file parser over good and hostile files, bitmap lookup, relayout, and the painted window.
#include <gtest/gtest.h>

#include <QDir>
#include <QPainter>
#include <QTemporaryDir>
#include <set>

#include "app/gui/bmpbtn_container.h"
#include "app/gui/skin_file.h"
#include "tests/app/app_test_util.h"

namespace {

// Every name loads a 4x4 white-and-red bitmap except those named "missing*".
SkinBitmap FakeLoader(const std::string& name) {
  if (name.rfind("missing", 0) == 0) return nullptr;
  auto img = std::make_shared<QImage>(4, 4, QImage::Format_RGB32);
  img->fill(Qt::red);
  return img;
}

SkinData Parse(const std::string& text, bool* ok = nullptr) {
  SkinData d;
  bool r = ParseSkinText(text, FakeLoader, &d);
  if (ok) *ok = r;
  return d;
}

TEST(SkinFile, ButtonsStaticsFontsAndBasic) {
  bool ok = false;
  SkinData d = Parse(
      "# comment\n; another\n\n  [Basic]  \nwidth=800\nHEIGHT=600\nother=1\n"
      "[button]\n"
      "1001, n.bmp, p, h, d, 10, 20, 30, 40, button, enabled|checked, AnchorRight|transparent, extra\n"
      "1002,n,,,,-5,0,8,8,track_button,,\n"
      "1003,n,,,,0,0,8,8,check,hidden,\n"
      "1004,n,,,,0,0,8,8,CheckGroup(3),Enabled,AnchorAll\n"
      "1005,,,,,0,0,8,8,checkgroup(3),,\n"
      "[static]\n"
      "font, big, Sans, 120, Italic|underline\n"
      "font, big, Serif, 90\n"
      "control, 0xBB8, 1, 2, 3, 4, RelievoOutter|RelievoRaised\n"
      "colorblock, 0x262626, 0, 0, 10, 10\n"
      "brush, tile, 0, 0, 10, 10, AnchorLeft|AnchorRight\n"
      "static, logo.bmp, 0, 0, 10, 10, Stretch\n"
      "text, 7, 0, 0, 100, 20, TextCallback, big, 0xFFFFFF, AlignCenter|AlignVCenter\n"
      "text, hello, 0, 0, 100, 20, , nofont\n"
      "[other]\n"
      "1009,n,,,,0,0,8,8,button,,\n",
      &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(d.ref_width, 800);
  EXPECT_EQ(d.ref_height, 600);
  ASSERT_EQ(d.buttons.size(), 5u);
  const SkinButton& b = d.buttons[0];
  EXPECT_EQ(b.id, 1001u);
  EXPECT_EQ(b.rect, (SkinRect{10, 20, 40, 60}));
  EXPECT_TRUE(b.bitmaps[0] && b.bitmaps[1] && b.bitmaps[2] && b.bitmaps[3]);
  EXPECT_EQ(b.state, kBtnEnabled | kBtnChecked);
  EXPECT_EQ(b.style, kStylePush);
  EXPECT_EQ(b.flags, kAnchorRight | kSkinTransparent);
  EXPECT_EQ(d.buttons[1].style, 0x101u);
  EXPECT_EQ(d.buttons[1].rect.left, 5);  // the sign is skipped
  EXPECT_FALSE(d.buttons[1].bitmaps[1]);
  EXPECT_EQ(d.buttons[2].style, kStyleCheck);
  EXPECT_EQ(d.buttons[2].state, kBtnHidden);
  EXPECT_EQ(d.buttons[3].style, 0x30004u);
  EXPECT_EQ(d.buttons[3].flags, 0xFu);
  EXPECT_EQ(d.buttons[4].style, 0x30004u);
  EXPECT_FALSE(d.buttons[4].bitmaps[0]);  // no normal bitmap named: kept without one
  ASSERT_EQ(d.fonts.size(), 2u);
  EXPECT_EQ(d.fonts[0].face, "Sans");
  EXPECT_TRUE(d.fonts[0].italic && d.fonts[0].underline && !d.fonts[0].strikeout);
  ASSERT_EQ(d.statics.size(), 6u);
  EXPECT_EQ(d.statics[0].kind, kStaticControl);
  EXPECT_EQ(d.statics[0].value, 3000u);
  EXPECT_EQ(d.statics[0].rect, (SkinRect{1, 2, 3, 4}));
  EXPECT_EQ(d.statics[0].flags, kRelievoOutter | kRelievoRaised);
  EXPECT_EQ(d.statics[1].value, 0x262626u);
  EXPECT_TRUE(d.statics[2].bitmap);
  EXPECT_EQ(d.statics[3].flags, kSkinStretch);
  EXPECT_EQ(d.statics[4].text.font, 0);  // the first definition of "big" wins
  EXPECT_EQ(d.statics[4].text.colour, 0xFFFFFFu);
  EXPECT_EQ(d.statics[4].text.align, kAlignCenter | kAlignVCenter);
  EXPECT_EQ(d.statics[4].flags, kTextCallback);
  EXPECT_EQ(d.statics[5].text.font, -1);
  EXPECT_EQ(d.statics[5].text.text, "hello");
}

TEST(SkinFile, FlagTokens) {
  EXPECT_EQ(ParseSkinFlags("anchorleft | ANCHORBOTTOM|bogus|"), kAnchorLeft | kAnchorBottom);
  EXPECT_EQ(ParseSkinFlags("RelievoInnerXYZ|RelievoOutterish"), kRelievoInner | kRelievoOutter);
  EXPECT_EQ(ParseSkinFlags("RelievoInne"), 0u);
  EXPECT_EQ(ParseSkinFlags(""), 0u);
  EXPECT_EQ(ParseSkinAlign("AlignRight|AlignBottom|AlignLeft"), kAlignRight | kAlignBottom);
}

// Each line is rejected; the good line around it is kept and the load reports failure.
TEST(SkinFile, RejectedLinesTable) {
  const char* bad[] = {
      "[button]\n1,n,,,,0,0,8,8,button,\n",         // 11 fields
      "[button]\n1,missing,,,,0,0,8,8,button,,\n",  // normal bitmap cannot be loaded
      "[button]\n1,n,,,,0,,8,8,button,,\n",         // empty y
      "[button]\n1,n,,,,0,0,8,8,slider,,\n",        // unknown kind
      "[static]\nwidget, 1, 0, 0, 1, 1\n",          // unknown kind
      "[static]\ncontrol, , 0, 0, 1, 1\n",          // empty value
      "[static]\ncontrol, 1, 0, 0, 1\n",            // missing bottom
      "[static]\nstatic, missing, 0, 0, 1, 1\n",    // bitmap cannot be loaded
      "[static]\ntext, hi, 0, 0, 1, 1, \n",         // no font name
      "[static]\nfont, , Sans, 100\n",              // empty name
      "[static]\nfont, f, Sans, 0\n",               // zero height
      "[static]\nfont, f, , 10\n",                  // empty face
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    bool ok = true;
    std::string text = std::string("[button]\n9,n,,,,0,0,1,1,button,,\n[static]\ncolorblock,1,0,0,1,1\n") +
                       line + "[button]\n10,n,,,,0,0,1,1,button,,\n";
    SkinData d = Parse(text, &ok);
    EXPECT_FALSE(ok);
    ASSERT_EQ(d.buttons.size(), 2u);
    EXPECT_EQ(d.buttons[1].id, 10u);
    EXPECT_EQ(d.statics.size(), 1u);
  }
}

TEST(SkinFile, HostileText) {
  // A line longer than 511 characters comes in pieces; zero bytes, no newline, nothing at all.
  std::string longline = "[basic]\nwidth=" + std::string(600, '7') + "\nheight=5";
  SkinData d = Parse(longline);
  EXPECT_EQ(d.ref_height, 5);
  std::string zeros("[button]\n1,n,,,,0,0,1,1,button,,\0garbage\n", 40);
  d = Parse(zeros);
  EXPECT_EQ(d.buttons.size(), 1u);
  bool ok = false;
  d = Parse("", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(d.ref_width, 0);
  d = Parse("[basic]\n=5\nwidth=\nwidth = 9\n[button]\n,,,,,,,,,,,,,,,,,\n[static]\n,,,,,,,\n");
  EXPECT_EQ(d.ref_width, 0);
  EXPECT_TRUE(d.buttons.empty());
  d = Parse("[button]\n1,n,,,,99999999999,99999999999,2147483647,2147483647,checkgroup(-1),,\n");
  EXPECT_EQ(d.buttons.size(), 1u);
  EXPECT_EQ(d.buttons[0].rect.left, INT32_MAX);  // out-of-range numbers are clamped
  d = Parse("[basic]\nwidth=99999999999\nheight=-99999999999\n");
  EXPECT_EQ(d.ref_width, INT32_MAX);
  EXPECT_EQ(d.ref_height, INT32_MIN);
}

TEST(SkinFile, BitmapLookupOrderAndNoFolderChange) {
  apptest::App();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QDir root(dir.path());
  auto write = [&](const QString& rel, QColor c) {
    QImage img(2, 2, QImage::Format_RGB32);
    img.fill(c);
    QDir().mkpath(QFileInfo(root.filePath(rel)).absolutePath());
    ASSERT_TRUE(img.save(root.filePath(rel), "BMP"));
  };
  write("a.bmp", Qt::red);
  write("en-US/a.bmp", Qt::green);
  write("b.bmp", Qt::red);
  write("french/b.bmp", Qt::blue);
  write("c.bmp", Qt::red);
  const std::string folder = dir.path().toStdString();
  const QString cwd = QDir::currentPath();
  EXPECT_EQ(LoadSkinBitmap(folder, "en-US", "a")->pixelColor(0, 0), QColor(Qt::green));
  EXPECT_EQ(LoadSkinBitmap(folder, "fr-FR", "b.bmp")->pixelColor(0, 0), QColor(Qt::blue));
  EXPECT_EQ(LoadSkinBitmap(folder, "en-GB", "c")->pixelColor(0, 0), QColor(Qt::red));
  EXPECT_EQ(LoadSkinBitmap(folder, "", "a")->pixelColor(0, 0), QColor(Qt::red));
  EXPECT_FALSE(LoadSkinBitmap(folder, "en-US", "nothing"));
  EXPECT_FALSE(LoadSkinBitmap(folder, "en-US", "../x"));
  apptest::WriteFile(root.filePath("gui.desc").toStdString(),
                     "[basic]\nwidth=100\nheight=50\n[button]\n1,a,,,,0,0,2,2,button,enabled,\n"
                     "2,nothing,,,,0,0,2,2,button,enabled,\n");
  SkinData d;
  EXPECT_FALSE(LoadSkinData(root.filePath("gui.desc").toStdString(), &d));
  EXPECT_EQ(d.buttons.size(), 1u);
  EXPECT_EQ(QDir::currentPath(), cwd);
  EXPECT_FALSE(LoadSkinData(root.filePath("none.desc").toStdString(), &d));
}

struct LayoutCase {
  SkinRect rect;
  uint32_t flags;
  int w, h, w0, h0;
  SkinRect want;
};

TEST(SkinLayout, AnchorsTable) {
  const LayoutCase cases[] = {
      {{10, 500, 790, 560},
       kAnchorLeft | kAnchorRight | kAnchorBottom,
       1000,
       700,
       800,
       600,
       {10, 600, 990, 660}},
      {{10, 10, 30, 30}, kAnchorCenter, 1001, 600, 800, 600, {110, 10, 130, 30}},
      {{10, 10, 30, 30}, kAnchorRight | kAnchorCenter, 900, 600, 800, 600, {110, 10, 130, 30}},
      {{10, 10, 30, 30}, kAnchorMiddle, 800, 700, 800, 600, {10, 60, 30, 80}},
      {{10, 10, 30, 30}, kAnchorAll, 900, 650, 800, 600, {10, 10, 130, 80}},
      {{10, 10, 30, 30}, 0, 900, 650, 800, 600, {10, 10, 30, 30}},
      // No [basic]: the reference is 0 x 0 and the first resize moves by the whole size.
      {{10, 10, 30, 30}, kAnchorRight | kAnchorBottom, 640, 480, 0, 0, {650, 490, 670, 510}},
  };
  for (const auto& c : cases) EXPECT_EQ(RelayoutRect(c.rect, c.flags, c.w, c.h, c.w0, c.h0), c.want);
}

TEST(SkinLayout, ResizeMovesControlsAndTracksReference) {
  apptest::App();
  QTemporaryDir dir;
  std::string path = dir.filePath("s.desc").toStdString();
  apptest::WriteFile(path,
                     "[basic]\nwidth=800\nheight=600\n[static]\ncontrol,3002,10,500,790,560,"
                     "AnchorLeft|AnchorRight|AnchorBottom\n");
  CBmpbtnContainer w;
  QWidget child(&w);
  ASSERT_EQ(w.LoadSkinFile(path), 1);
  w.SetControl(3002, &child);
  EXPECT_EQ(child.geometry(), QRect(10, 500, 780, 60));
  w.Relayout(1000, 700);
  SkinRect r;
  ASSERT_EQ(w.GetStaticRect(0, &r, nullptr), 1);
  EXPECT_EQ(r, (SkinRect{10, 600, 990, 660}));
  EXPECT_EQ(child.geometry(), QRect(10, 600, 980, 60));
  w.Relayout(900, 700);  // later resizes work on differences
  ASSERT_EQ(w.GetStaticRect(0, &r, nullptr), 1);
  EXPECT_EQ(r, (SkinRect{10, 600, 890, 660}));
  EXPECT_EQ(w.GetStaticRect(1, &r, nullptr), 0);
  EXPECT_EQ(w.StaticIndexFromId(3002), 0);
  EXPECT_EQ(w.StaticIdFromIndex(0), 3002);
  EXPECT_EQ(w.StaticIdFromIndex(5), -1);
}

TEST(SkinPaint, BevelRings) {
  QImage img(20, 20, QImage::Format_RGB32);
  img.fill(QColor(100, 100, 100));
  DrawReliefFrame(&img, {5, 5, 15, 15}, true);
  EXPECT_EQ(qRed(img.pixel(4, 10)), 110);  // left, next to the rectangle
  EXPECT_EQ(qRed(img.pixel(3, 10)), 115);
  EXPECT_EQ(qRed(img.pixel(2, 10)), 120);  // outermost
  EXPECT_EQ(qRed(img.pixel(15, 10)), 95);  // right, next to it
  EXPECT_EQ(qRed(img.pixel(17, 10)), 85);
  EXPECT_EQ(qRed(img.pixel(4, 4)), 120);    // corner changed twice
  EXPECT_EQ(qRed(img.pixel(10, 10)), 100);  // inside untouched
  QImage sunk(20, 20, QImage::Format_RGB32);
  sunk.fill(QColor(5, 250, 100));
  DrawReliefFrame(&sunk, {5, 5, 15, 15}, false);
  EXPECT_EQ(qRed(sunk.pixel(2, 10)), 0);  // clamped
  EXPECT_EQ(qGreen(sunk.pixel(17, 10)), 255);
  DrawReliefFrame(&sunk, {-50, -50, 100, 100}, true);  // off the image: nothing breaks
}

// A bar painted from real bitmaps: white keyed out, states, fallbacks.
TEST(SkinPaint, ButtonPixelsByState) {
  apptest::App();
  QTemporaryDir dir;
  QDir root(dir.path());
  auto bmp = [&](const char* name, QColor c) {
    QImage img(10, 10, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.fillRect(2, 2, 6, 6, c);
    p.end();
    img.save(root.filePath(name), "BMP");
  };
  bmp("n.bmp", Qt::blue);
  bmp("p.bmp", Qt::red);
  bmp("d.bmp", Qt::gray);
  std::string path = root.filePath("s.desc").toStdString();
  apptest::WriteFile(path,
                     "[basic]\nwidth=60\nheight=20\n[static]\ncolorblock,0x00FF00,0,0,60,20\n[button]\n"
                     "1,n,p,,d,0,0,10,10,button,enabled,Transparent\n"
                     "2,n,,,,20,0,10,10,button,enabled,\n"
                     "3,n,p,,d,40,0,10,10,check,,Transparent\n");
  CBmpbtnContainer w;
  ASSERT_EQ(w.LoadSkinFile(path), 1);
  w.resize(60, 20);
  auto render = [&] {
    QImage img(60, 20, QImage::Format_RGB32);
    w.RenderSkin(&img, img.rect());
    return img;
  };
  QImage img = render();
  EXPECT_EQ(img.pixelColor(0, 0), QColor(Qt::green));  // white keyed out
  EXPECT_EQ(img.pixelColor(5, 5), QColor(Qt::blue));
  EXPECT_EQ(img.pixelColor(20, 0), QColor(Qt::white));  // not transparent: white stays
  EXPECT_EQ(img.pixelColor(45, 5), QColor(Qt::gray));   // disabled
  QImage pressed(60, 20, QImage::Format_RGB32);
  pressed.fill(Qt::green);
  QPainter p(&pressed);
  w.DrawButton(&p, 0, kDrawPressed);
  w.DrawButton(&p, 1, kDrawPressed);  // no pressed bitmap: nothing drawn
  w.DrawButton(&p, 1, kDrawHover);    // hover falls back to normal... drawn over the same spot
  p.end();
  EXPECT_EQ(pressed.pixelColor(5, 5), QColor(Qt::red));
  EXPECT_EQ(pressed.pixelColor(25, 5), QColor(Qt::blue));
  // Checked check button draws pressed; hidden draws nothing.
  w.SetButtonEnabled(2, true);
  w.SetButtonChecked(2, true);
  EXPECT_EQ(render().pixelColor(45, 5), QColor(Qt::red));
  w.SetButtonVisible(2, false);
  EXPECT_EQ(render().pixelColor(45, 5), QColor(Qt::green));
}

// Texts: with a font drawn (a callback text only when the owner answers), without one left to the owner.
class TextOwner : public CBmpbtnContainer {
 public:
  bool answer = false;
  std::vector<int> callbacks;
  bool QueryTextCallback(int id, QString* text) override {
    *text = QStringLiteral("##########");
    return answer && id == 7;
  }
  void DrawTextCallback(QPainter*, int id, const QRect&, uint32_t) override { callbacks.push_back(id); }
};

TEST(SkinPaint, TextsAndMoveStatic) {
  apptest::App();
  QTemporaryDir dir;
  std::string path = dir.filePath("t.desc").toStdString();
  apptest::WriteFile(path,
                     "[static]\nfont,f,Sans,200\ncolorblock,0x000000,0,0,200,60\n"
                     "text,7,0,0,100,30,TextCallback,f,0xFFFFFF\ntext,42,100,0,200,30,,nofont,0xFFFFFF\n"
                     "colorblock,0x0000FF,0,40,10,50\n");
  TextOwner w;
  ASSERT_EQ(w.LoadSkinFile(path), 1);
  w.resize(200, 60);
  auto lit = [&](int x0, int x1) {
    QImage img(200, 60, QImage::Format_RGB32);
    w.RenderSkin(&img, img.rect());
    for (int y = 0; y < 30; ++y)
      for (int x = x0; x < x1; ++x)
        if (img.pixelColor(x, y) != QColor(Qt::black)) return true;
    return false;
  };
  EXPECT_FALSE(lit(0, 100));  // the owner did not answer
  w.answer = true;
  EXPECT_TRUE(lit(0, 100));
  EXPECT_FALSE(lit(100, 200));  // no font: the owner's to draw
  ASSERT_FALSE(w.callbacks.empty());
  EXPECT_EQ(w.callbacks.back(), 42);
  // MoveStatic stores the place and flags; the colour block is drawn there.
  ASSERT_EQ(w.MoveStatic(3, {50, 40, 60, 50}, kAnchorRight), 1);
  SkinRect r;
  uint32_t flags = 0;
  ASSERT_EQ(w.GetStaticRect(3, &r, &flags), 1);
  EXPECT_EQ(r, (SkinRect{50, 40, 60, 50}));
  EXPECT_EQ(flags, kAnchorRight);
  QImage img(200, 60, QImage::Format_RGB32);
  w.RenderSkin(&img, img.rect());
  EXPECT_EQ(img.pixelColor(55, 45), QColor(Qt::red));
  EXPECT_EQ(img.pixelColor(5, 45), QColor(Qt::black));
  EXPECT_EQ(w.MoveStatic(9, r, 0), 0);
}

}  // namespace
