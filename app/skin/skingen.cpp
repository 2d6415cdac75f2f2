// skingen: draws every bitmap the skin file names as flat icons (24-bit BMP) into a folder.
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

namespace {

// Colours of the skin (also used by gui.desc as 0x00BBGGRR).
const QColor kCaption(0x1B, 0x1D, 0x21);
const QColor kPanel(0x22, 0x24, 0x28);
const QColor kBar(0x1B, 0x1D, 0x21);
const QColor kIcon(0xC3, 0xC8, 0xD0);
const QColor kIconHover(0xFF, 0xFF, 0xFF);
const QColor kHoverBack(0x34, 0x38, 0x40);
const QColor kAccent(0x2F, 0x6F, 0xEB);
const QColor kDisabled(0x56, 0x5B, 0x63);
const QColor kDanger(0xE5, 0x48, 0x4D);

using Glyph = std::function<void(QPainter&, const QColor&)>;  // draws in a 24 x 24 box

std::string g_out;
int g_written = 0;

bool Save(const QImage& img, const std::string& name) {
  std::string path = g_out + "/" + name + ".bmp";
  if (!img.convertToFormat(QImage::Format_RGB888).save(QString::fromStdString(path), "BMP")) {
    std::fprintf(stderr, "skingen: cannot write %s\n", path.c_str());
    return false;
  }
  ++g_written;
  return true;
}

QPen Stroke(const QColor& c, qreal w = 2.0) { return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin); }

// One button in its four states: normal, pressed (accent), hover (lighter plate), disabled (dimmed).
bool Button(const std::string& name, int w, int h, const QColor& back, const Glyph& glyph,
            bool danger = false) {
  static const char* kSuffix[4] = {"n", "p", "h", "d"};
  for (int s = 0; s < 4; ++s) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(back);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QColor fg = kIcon;
    if (s == 1 || s == 2) {
      QColor plate = s == 1 ? (danger ? kDanger : kAccent) : (danger ? kDanger.darker(130) : kHoverBack);
      p.setPen(Qt::NoPen);
      p.setBrush(plate);
      p.drawRoundedRect(QRectF(2, 2, w - 4, h - 4), 6, 6);
      fg = kIconHover;
    } else if (s == 3) {
      fg = kDisabled;
    }
    p.translate((w - 24) / 2.0, (h - 24) / 2.0);
    p.setBrush(Qt::NoBrush);
    p.setPen(Stroke(fg));
    glyph(p, fg);
    p.end();
    if (!Save(img, name + "_" + kSuffix[s])) return false;
  }
  return true;
}

// ---- glyphs ----
void Gear(QPainter& p, const QColor& c) {
  p.save();
  p.translate(12, 12);
  p.setPen(Stroke(c, 2.6));
  for (int i = 0; i < 8; ++i) {
    p.drawLine(QPointF(0, -7.5), QPointF(0, -10));
    p.rotate(45);
  }
  p.restore();
  p.setPen(Stroke(c));
  p.drawEllipse(QPointF(12, 12), 6.5, 6.5);
  p.drawEllipse(QPointF(12, 12), 2.5, 2.5);
}
void Folder(QPainter& p, const QColor&) {
  QPainterPath path;
  path.moveTo(3, 7);
  path.lineTo(3, 19);
  path.lineTo(21, 19);
  path.lineTo(21, 8.5);
  path.lineTo(11.5, 8.5);
  path.lineTo(9.5, 5.5);
  path.lineTo(3, 5.5);
  path.closeSubpath();
  p.drawPath(path);
}
void Photo(QPainter& p, const QColor& c) {
  p.drawRoundedRect(QRectF(3, 5, 18, 14), 2, 2);
  QPainterPath m;
  m.moveTo(5, 17);
  m.lineTo(10, 11);
  m.lineTo(13.5, 15);
  m.lineTo(16, 12.5);
  m.lineTo(19, 17);
  p.drawPath(m);
  p.setBrush(c);
  p.drawEllipse(QPointF(16.5, 8.8), 1.3, 1.3);
}
void Logout(QPainter& p, const QColor&) {
  p.drawPolyline(QPolygonF({{13, 5}, {5, 5}, {5, 19}, {13, 19}}));
  p.drawLine(QPointF(10, 12), QPointF(20, 12));
  p.drawPolyline(QPolygonF({{16.5, 8.5}, {20, 12}, {16.5, 15.5}}));
}
void Minimise(QPainter& p, const QColor&) { p.drawLine(QPointF(7, 12.5), QPointF(17, 12.5)); }
void Maximise(QPainter& p, const QColor&) {
  p.setPen(Stroke(p.pen().color(), 1.6));
  p.drawRect(QRectF(7, 7, 10, 10));
}
void Close(QPainter& p, const QColor&) {
  p.setPen(Stroke(p.pen().color(), 1.8));
  p.drawLine(QPointF(7.5, 7.5), QPointF(16.5, 16.5));
  p.drawLine(QPointF(16.5, 7.5), QPointF(7.5, 16.5));
}
void Refresh(QPainter& p, const QColor&) {
  p.drawArc(QRectF(5, 5, 14, 14), 60 * 16, 280 * 16);
  p.drawPolyline(QPolygonF({{15.5, 3.5}, {16.3, 6.2}, {13.5, 7.2}}));
}
void Split(QPainter& p, const QColor&) {
  p.drawRoundedRect(QRectF(4, 4, 16, 16), 2, 2);
  p.drawLine(QPointF(12, 4), QPointF(12, 20));
  p.drawLine(QPointF(4, 12), QPointF(20, 12));
}
void Video(QPainter& p, const QColor&) {
  p.drawRoundedRect(QRectF(3, 7, 13, 10), 2, 2);
  p.drawPolygon(QPolygonF({{16, 10.5}, {21, 7.5}, {21, 16.5}, {16, 13.5}}));
}
void SdCard(QPainter& p, const QColor&) {
  p.drawPolygon(QPolygonF({{9, 3.5}, {18, 3.5}, {18, 20.5}, {6, 20.5}, {6, 6.5}}));
  p.setPen(Stroke(p.pen().color(), 1.5));
  for (int i = 0; i < 3; ++i) p.drawLine(QPointF(10 + i * 2.5, 6.5), QPointF(10 + i * 2.5, 9));
}
void Cloud(QPainter& p, const QColor&) {
  QPainterPath path;
  path.moveTo(7, 18);
  path.arcTo(QRectF(2.5, 10, 9, 8), 270, -180);
  path.arcTo(QRectF(6.5, 5, 11, 10), 160, -150);
  path.arcTo(QRectF(14, 9.5, 8, 8.5), 90, -180);
  path.closeSubpath();
  p.drawPath(path);
}
void Calendar(QPainter& p, const QColor& c) {
  p.drawRoundedRect(QRectF(4, 5.5, 16, 14.5), 2, 2);
  p.drawLine(QPointF(4, 10), QPointF(20, 10));
  p.drawLine(QPointF(8.5, 3.5), QPointF(8.5, 7));
  p.drawLine(QPointF(15.5, 3.5), QPointF(15.5, 7));
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  for (int i = 0; i < 3; ++i) p.drawRect(QRectF(7 + i * 4, 13, 2, 2));
}
void Speaker(QPainter& p, const QColor&) {
  p.drawPolygon(QPolygonF({{4, 9.5}, {8, 9.5}, {13, 5}, {13, 19}, {8, 14.5}, {4, 14.5}}));
  p.drawArc(QRectF(11, 8, 6, 8), -50 * 16, 100 * 16);
  p.drawArc(QRectF(11, 5, 10, 14), -50 * 16, 100 * 16);
}
void Camera(QPainter& p, const QColor&) {
  p.drawRoundedRect(QRectF(3, 7.5, 18, 12), 2.5, 2.5);
  p.drawPolyline(QPolygonF({{8, 7.5}, {9.5, 4.5}, {14.5, 4.5}, {16, 7.5}}));
  p.drawEllipse(QPointF(12, 13.5), 3.5, 3.5);
}
void Record(QPainter& p, const QColor& c) {
  p.drawEllipse(QPointF(12, 12), 8, 8);
  p.setPen(Qt::NoPen);
  p.setBrush(c == kIconHover ? c : kDanger);
  p.drawEllipse(QPointF(12, 12), 4.5, 4.5);
}
void StopVideo(QPainter& p, const QColor&) {
  p.drawRoundedRect(QRectF(4, 4, 16, 16), 3, 3);
  p.drawLine(QPointF(9, 9), QPointF(15, 15));
  p.drawLine(QPointF(15, 9), QPointF(9, 15));
}
void Mic(QPainter& p, const QColor&) {
  p.drawRoundedRect(QRectF(9, 3, 6, 11), 3, 3);
  p.drawArc(QRectF(5.5, 6, 13, 11), 180 * 16, 180 * 16);
  p.drawLine(QPointF(12, 17), QPointF(12, 21));
}
void Eyes(QPainter& p, const QColor&) {
  p.drawEllipse(QPointF(7.5, 12), 4.5, 4.5);
  p.drawEllipse(QPointF(16.5, 12), 4.5, 4.5);
  p.drawLine(QPointF(10.5, 4.5), QPointF(13.5, 4.5));
  p.drawPolyline(QPolygonF({{12.5, 3}, {14, 4.5}, {12.5, 6}}));
}
void Pip(QPainter& p, const QColor& c) {
  p.drawRoundedRect(QRectF(3, 5, 18, 14), 2, 2);
  p.setBrush(c);
  p.drawRoundedRect(QRectF(12, 11, 6, 5), 1, 1);
}
void Exchange(QPainter& p, const QColor&) {
  p.drawLine(QPointF(5, 9), QPointF(19, 9));
  p.drawPolyline(QPolygonF({{15.5, 5.5}, {19, 9}, {15.5, 12.5}}));
  p.drawLine(QPointF(19, 15), QPointF(5, 15));
  p.drawPolyline(QPolygonF({{8.5, 11.5}, {5, 15}, {8.5, 18.5}}));
}
Glyph Speed(int n) {
  return [n](QPainter& p, const QColor& c) {
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    qreal w = 7, total = n * w, x0 = 12 - total / 2;
    for (int i = 0; i < n; ++i)
      p.drawPolygon(QPolygonF({{x0 + i * w, 7}, {x0 + i * w + w, 12}, {x0 + i * w, 17}}));
  };
}

// The pan-tilt pad: a ring with four arrows; lit is the quadrant drawn pressed (-1 none).
QImage Pad(int size, const QColor& back, int lit, bool disabled, bool hover) {
  QImage img(size, size, QImage::Format_RGB32);
  img.fill(back);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QPointF c(size / 2.0, size / 2.0);
  qreal r = size / 2.0 - 3;
  p.setPen(Qt::NoPen);
  p.setBrush(hover ? kHoverBack : QColor(0x2A, 0x2D, 0x33));
  p.drawEllipse(c, r, r);
  if (lit >= 0) {
    // 0 left, 1 right, 2 up, 3 down
    static const int kStart[4] = {135, -45, 45, 225};
    QPainterPath wedge;
    wedge.moveTo(c);
    wedge.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), kStart[lit], 90);
    wedge.closeSubpath();
    p.setBrush(kAccent);
    p.drawPath(wedge);
  }
  p.setBrush(back);
  p.drawEllipse(c, r * 0.38, r * 0.38);
  QColor fg = disabled ? kDisabled : kIconHover;
  p.setBrush(fg);
  qreal a = r * 0.72, s = r * 0.14;
  p.drawPolygon(QPolygonF(
      {{c.x() - a, c.y()}, {c.x() - a + s * 1.6, c.y() - s * 1.4}, {c.x() - a + s * 1.6, c.y() + s * 1.4}}));
  p.drawPolygon(QPolygonF(
      {{c.x() + a, c.y()}, {c.x() + a - s * 1.6, c.y() - s * 1.4}, {c.x() + a - s * 1.6, c.y() + s * 1.4}}));
  p.drawPolygon(QPolygonF(
      {{c.x(), c.y() - a}, {c.x() - s * 1.4, c.y() - a + s * 1.6}, {c.x() + s * 1.4, c.y() - a + s * 1.6}}));
  p.drawPolygon(QPolygonF(
      {{c.x(), c.y() + a}, {c.x() - s * 1.4, c.y() + a - s * 1.6}, {c.x() + s * 1.4, c.y() + a - s * 1.6}}));
  return img;
}

// The product mark on a background: rounded square in the accent colour with a lens.
QImage Logo(int size, const QColor& back) {
  QImage img(size, size, QImage::Format_RGB32);
  img.fill(back);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(kAccent);
  p.drawRoundedRect(QRectF(0, 0, size, size), size * 0.22, size * 0.22);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(size / 2.0, size / 2.0), size * 0.3, size * 0.3);
  p.setBrush(kAccent.darker(160));
  p.drawEllipse(QPointF(size / 2.0, size / 2.0), size * 0.17, size * 0.17);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(size * 0.45, size * 0.45), size * 0.05, size * 0.05);
  return img;
}

// 16 x 16 tree icons on white (white is the mask colour), drawn without smoothing so no edge blends.
QImage TreeIcon(int kind) {
  QImage img(16, 16, QImage::Format_RGB32);
  img.fill(Qt::white);
  QPainter p(&img);
  p.setPen(Qt::NoPen);
  if (kind == 0) {
    p.setBrush(QColor(0xF2, 0xB5, 0x3C));
    p.drawRect(1, 3, 6, 2);
    p.drawRect(1, 4, 14, 10);
  } else {
    p.setBrush(kind == 2 ? QColor(0x3D, 0xBE, 0x6B) : QColor(0x8A, 0x8F, 0x98));
    p.drawRect(1, 4, 10, 8);
    p.drawPolygon(QPolygon({{11, 7}, {15, 4}, {15, 12}, {11, 9}}));
    p.setBrush(QColor(0x20, 0x20, 0x20));
    p.drawRect(4, 6, 4, 4);
  }
  return img;
}

// The offline overlay of a thumbnail: a dimmed plate with a crossed cloud, white keyed out around it.
QImage OfflineOverlay() {
  QImage img(96, 64, QImage::Format_RGB32);
  img.fill(Qt::white);
  QPainter p(&img);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x10, 0x10, 0x12));
  p.drawRect(16, 8, 64, 48);
  p.setPen(QPen(QColor(0xE5, 0x48, 0x4D), 4));
  p.drawLine(36, 20, 60, 44);
  p.drawLine(60, 20, 36, 44);
  return img;
}

QImage DragCursor() {
  QImage img(32, 32, QImage::Format_RGB32);
  img.fill(Qt::white);
  QPainter p(&img);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(kAccent);
  p.drawRect(10, 12, 16, 12);
  p.setBrush(QColor(0x10, 0x10, 0x10));
  p.drawPolygon(QPolygon({{1, 1}, {1, 14}, {4, 11}, {7, 17}, {9, 16}, {6, 10}, {10, 10}}));
  return img;
}

void Help() {
  std::printf(
      "Usage: skingen OUTDIR\n"
      "\n"
      "Draws every bitmap of the application's skin (gui.desc) as 24-bit BMP files into OUTDIR, which must\n"
      "exist.\n"
      "\n"
      "Arguments:\n"
      "  OUTDIR       the folder to write into (the gui folder beside the program)\n"
      "  -h, --help   this text\n"
      "\n"
      "Example:\n"
      "  skingen build/app/gui\n");
}

}  // namespace

int main(int argc, char** argv) {
  const char* out = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
      Help();
      return 0;
    }
    if (argv[i][0] == '-') {
      std::fprintf(stderr, "skingen: unknown option '%s'\nTry 'skingen --help'.\n", argv[i]);
      return 2;
    }
    if (out) {
      std::fprintf(stderr, "skingen: unexpected argument '%s'\nTry 'skingen --help'.\n", argv[i]);
      return 2;
    }
    out = argv[i];
  }
  if (!out) {
    std::fprintf(stderr, "skingen: missing OUTDIR\nTry 'skingen --help'.\n");
    return 2;
  }
  g_out = out;
  bool ok = true;
  // Caption strip.
  ok &= Button("btn_settings", 36, 32, kCaption, Gear);
  ok &= Button("btn_datafolder", 36, 32, kCaption, Folder);
  ok &= Button("btn_media", 36, 32, kCaption, Photo);
  ok &= Button("btn_logout", 36, 32, kCaption, Logout);
  ok &= Button("btn_min", 36, 32, kCaption, Minimise);
  ok &= Button("btn_max", 36, 32, kCaption, Maximise);
  ok &= Button("btn_close", 36, 32, kCaption, Close, true);
  // Device panel.
  ok &= Button("btn_live", 84, 34, kPanel, Video);
  ok &= Button("btn_sd", 84, 34, kPanel, SdCard);
  ok &= Button("btn_cloud", 84, 34, kPanel, Cloud);
  ok &= Button("btn_refresh", 32, 32, kPanel, Refresh);
  // Play bar.
  ok &= Button("btn_split", 40, 40, kBar, Split);
  ok &= Button("btn_date", 40, 40, kBar, Calendar);
  ok &= Button("btn_audio", 40, 40, kBar, Speaker);
  ok &= Button("btn_snapshot", 40, 40, kBar, Camera);
  ok &= Button("btn_record", 40, 40, kBar, Record);
  ok &= Button("btn_closevideo", 40, 40, kBar, StopVideo);
  ok &= Button("btn_talk", 40, 40, kBar, Mic);
  ok &= Button("btn_eyes", 40, 40, kBar, Eyes);
  ok &= Button("btn_pip", 40, 40, kBar, Pip);
  ok &= Button("btn_exchange", 40, 40, kBar, Exchange);
  ok &= Button("btn_speed1", 40, 40, kBar, Speed(1));
  ok &= Button("btn_speed2", 40, 40, kBar, Speed(2));
  ok &= Button("btn_speed3", 40, 40, kBar, Speed(3));
  // Pan-tilt pad: its four looks, and the four pressed quadrants (the hidden button's bitmaps).
  const int pad = 76;
  ok &= Save(Pad(pad, kBar, -1, false, false), "ptz_pad_n");
  ok &= Save(Pad(pad, kBar, -1, false, true), "ptz_pad_h");
  ok &= Save(Pad(pad, kBar, -1, true, false), "ptz_pad_d");
  static const char* kDir[4] = {"left", "right", "up", "down"};
  for (int q = 0; q < 4; ++q) ok &= Save(Pad(pad, kBar, q, false, true), std::string("ptz_") + kDir[q]);
  // Tree icons (also as one strip of 16-pixel images), overlay, logo, icon, cursor.
  QImage strip(48, 16, QImage::Format_RGB32);
  {
    QPainter p(&strip);
    for (int k = 0; k < 3; ++k) {
      QImage icon = TreeIcon(k);
      p.drawImage(k * 16, 0, icon);
      ok &= Save(icon, k == 0 ? "tree_group" : k == 1 ? "tree_offline" : "tree_online");
    }
  }
  ok &= Save(strip, "tree_icons");
  ok &= Save(OfflineOverlay(), "offline_overlay");
  ok &= Save(Logo(24, kCaption), "logo");
  ok &= Save(Logo(64, Qt::white), "app_icon");
  ok &= Save(DragCursor(), "cursor_drag");
  QImage tile(8, 8, QImage::Format_RGB32);
  tile.fill(QColor(0x10, 0x11, 0x13));
  {
    QPainter p(&tile);
    p.setPen(QColor(0x16, 0x18, 0x1B));
    p.drawPoint(0, 0);
    p.drawPoint(4, 4);
  }
  ok &= Save(tile, "grid_tile");
  if (!ok || g_written == 0) {
    std::fprintf(stderr, "skingen: no skin written to %s\n", out);
    return 1;
  }
  return 0;
}
