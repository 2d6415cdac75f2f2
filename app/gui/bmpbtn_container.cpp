#include "app/gui/bmpbtn_container.h"

#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "app/ui/strings.h"

namespace {

QRect ToQRect(const SkinRect& r) { return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1)); }

QColor FromColorRef(uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

int AlignToQt(uint32_t align) {
  int qt = 0;
  qt |= (align & 0x1) ? Qt::AlignHCenter : (align & 0x2) ? Qt::AlignRight : Qt::AlignLeft;
  qt |= (align & 0x4) ? Qt::AlignVCenter : (align & 0x8) ? Qt::AlignBottom : Qt::AlignTop;
  return qt;
}

void Shift(int32_t* lo, int32_t* hi, uint32_t flags, uint32_t lo_flag, uint32_t hi_flag, uint32_t mid_flag,
           int n, int n0) {
  int64_t d = static_cast<int64_t>(n) - n0;
  if (flags & hi_flag) {
    *hi = static_cast<int32_t>(*hi + d);
    if (!(flags & lo_flag)) *lo = static_cast<int32_t>(*lo + d);
  } else if (flags & mid_flag) {
    int64_t m = static_cast<int64_t>(n / 2) - n0 / 2;
    *lo = static_cast<int32_t>(*lo + m);
    *hi = static_cast<int32_t>(*hi + m);
  }
}

}  // namespace

SkinRect RelayoutRect(const SkinRect& rect, uint32_t flags, int w, int h, int w0, int h0) {
  SkinRect r = rect;
  Shift(&r.left, &r.right, flags, kAnchorLeft, kAnchorRight, kAnchorCenter, w, w0);
  Shift(&r.top, &r.bottom, flags, kAnchorTop, kAnchorBottom, kAnchorMiddle, h, h0);
  return r;
}

void DrawReliefFrame(QImage* image, const SkinRect& rect, bool raised) {
  static const int kNear[3] = {10, 15, 20};   // left and top rings, inner to outer
  static const int kFar[3] = {-5, -10, -15};  // right and bottom rings
  auto change = [&](int x, int y, int step) {
    if (x < 0 || y < 0 || x >= image->width() || y >= image->height()) return;
    QRgb c = image->pixel(x, y);
    auto clamp = [](int v) { return std::clamp(v, 0, 255); };
    image->setPixel(x, y,
                    qRgba(clamp(qRed(c) + step), clamp(qGreen(c) + step), clamp(qBlue(c) + step), qAlpha(c)));
  };
  for (int d = 1; d <= 3; ++d) {
    int near_step = raised ? kNear[d - 1] : -kNear[d - 1];
    int far_step = raised ? kFar[d - 1] : -kFar[d - 1];
    for (int y = rect.top - d; y <= rect.bottom - 1 + d; ++y) change(rect.left - d, y, near_step);
    for (int x = rect.left - d; x <= rect.right - 1 + d; ++x) change(x, rect.top - d, near_step);
    for (int y = rect.top - (d - 1); y <= rect.bottom - 1 + (d - 1); ++y)
      change(rect.right - 1 + d, y, far_step);
    for (int x = rect.left - (d - 1); x <= rect.right - 1 + (d - 1); ++x)
      change(x, rect.bottom - 1 + d, far_step);
  }
}

QImage KeyOutWhite(const QImage& image) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x)
      if ((line[x] & 0xFFFFFF) == 0xFFFFFF) line[x] = 0;
  }
  return out;
}

CBmpbtnContainer::CBmpbtnContainer(QWidget* parent) : CVToolbar(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

CBmpbtnContainer::~CBmpbtnContainer() = default;

int CBmpbtnContainer::LoadSkinFile(const std::string& path) {
  keyed_.clear();
  bool ok = LoadSkinData(path, &skin_);
  for (const SkinStatic& s : skin_.statics)
    if (s.kind == kStaticControl) PlaceControl(s);
  update();
  return ok ? 1 : 0;
}

int CBmpbtnContainer::GetButtonRect(int index, SkinRect* rect, uint32_t* flags) const {
  if (index < 0 || index >= GetButtonCount()) return 0;
  if (rect) *rect = skin_.buttons[index].rect;
  if (flags) *flags = skin_.buttons[index].flags;
  return 1;
}

int CBmpbtnContainer::GetStaticRect(int index, SkinRect* rect, uint32_t* flags) const {
  if (index < 0 || index >= static_cast<int>(skin_.statics.size())) return 0;
  if (rect) *rect = skin_.statics[index].rect;
  if (flags) *flags = skin_.statics[index].flags;
  return 1;
}

int CBmpbtnContainer::MoveStatic(int index, const SkinRect& rect, uint32_t flags) {
  if (index < 0 || index >= static_cast<int>(skin_.statics.size())) return 0;
  SkinStatic& s = skin_.statics[index];
  QRect old = ToQRect(s.rect);
  s.rect = rect;
  s.flags = flags;
  if (s.kind == kStaticControl) PlaceControl(s);
  update(old.united(ToQRect(rect)).adjusted(-3, -3, 3, 3));
  return 1;
}

void CBmpbtnContainer::SetControl(uint32_t id, QWidget* child) {
  controls_[id] = child;
  int i = StaticIndexFromId(id);
  if (i >= 0 && skin_.statics[i].kind == kStaticControl) PlaceControl(skin_.statics[i]);
}

void CBmpbtnContainer::PlaceControl(const SkinStatic& s) {
  auto it = controls_.find(s.value);
  if (it == controls_.end() || !it->second) return;
  it->second->setGeometry(ToQRect(s.rect));
  it->second->update();
}

int CBmpbtnContainer::GetButtonState(int index) const {
  return index >= 0 && index < GetButtonCount() ? skin_.buttons[index].state : 0;
}
int CBmpbtnContainer::GetButtonStyle(int index) const {
  return index >= 0 && index < GetButtonCount() ? static_cast<int>(skin_.buttons[index].style) : 0;
}
int CBmpbtnContainer::GetButtonCount() const { return static_cast<int>(skin_.buttons.size()); }
int CBmpbtnContainer::IndexFromId(int id) const {
  for (int i = 0; i < GetButtonCount(); ++i)
    if (static_cast<int>(skin_.buttons[i].id) == id) return i;
  return -1;
}
int CBmpbtnContainer::IdFromIndex(int index) const {
  return index >= 0 && index < GetButtonCount() ? static_cast<int>(skin_.buttons[index].id) : -1;
}
bool CBmpbtnContainer::HitTestButton(int index, const QPoint& pt) const {
  if (index < 0 || index >= GetButtonCount()) return false;
  const SkinButton& b = skin_.buttons[index];
  if (b.state & kBtnHidden) return false;
  return pt.x() >= b.rect.left && pt.x() < b.rect.right && pt.y() >= b.rect.top && pt.y() < b.rect.bottom;
}
int CBmpbtnContainer::ButtonFromPoint(const QPoint& pt) const {
  for (int i = 0; i < GetButtonCount(); ++i)
    if (HitTestButton(i, pt)) return i;
  return -1;
}

QString CBmpbtnContainer::GetTooltipText(int index) const {
  if (index < 0 || index >= GetButtonCount()) return QString();
  QString entry = LoadUiString(static_cast<int>(skin_.buttons[index].id));
  int nl = entry.indexOf(QLatin1Char('\n'));
  return nl < 0 ? entry : entry.mid(nl + 1);
}

void CBmpbtnContainer::SetButtonState(int index, int bits) {
  if (index >= 0 && index < GetButtonCount()) skin_.buttons[index].state |= static_cast<uint16_t>(bits);
}
void CBmpbtnContainer::ClearButtonState(int index, int bits) {
  if (index >= 0 && index < GetButtonCount()) skin_.buttons[index].state &= static_cast<uint16_t>(~bits);
}
void CBmpbtnContainer::InvalidateButton(int index) {
  if (index >= 0 && index < GetButtonCount()) update(ToQRect(skin_.buttons[index].rect));
}

int CBmpbtnContainer::StaticIndexFromId(uint32_t id) const {
  for (size_t i = 0; i < skin_.statics.size(); ++i)
    if (skin_.statics[i].kind != kStaticText && skin_.statics[i].value == id) return static_cast<int>(i);
  return -1;
}
int CBmpbtnContainer::StaticIdFromIndex(int index) const {
  if (index < 0 || index >= static_cast<int>(skin_.statics.size())) return -1;
  return static_cast<int>(skin_.statics[index].value);
}

void CBmpbtnContainer::DrawTextCallback(QPainter*, int, const QRect&, uint32_t) {}
bool CBmpbtnContainer::QueryTextCallback(int, QString*) { return false; }

const QImage& CBmpbtnContainer::Keyed(const SkinBitmap& bitmap) {
  auto it = keyed_.find(bitmap.get());
  if (it == keyed_.end()) it = keyed_.emplace(bitmap.get(), KeyOutWhite(*bitmap)).first;
  return it->second;
}

void CBmpbtnContainer::DrawButton(QPainter* p, int index, int draw_state) {
  if (index < 0 || index >= GetButtonCount() || draw_state < 0 || draw_state > 3) return;
  const SkinButton& b = skin_.buttons[index];
  SkinBitmap bmp = b.bitmaps[draw_state];
  if (!bmp && (draw_state == kDrawHover || draw_state == kDrawDisabled)) bmp = b.bitmaps[0];
  if (!bmp) return;
  QRect r = ToQRect(b.rect);
  if (b.flags & kSkinTransparent)
    p->drawImage(r, Keyed(bmp));
  else if (b.flags & kSkinStretch)
    p->drawImage(r.topLeft(), *bmp);
  else
    p->drawImage(r.topLeft(), *bmp, QRect(0, 0, r.width(), r.height()));
}

void CBmpbtnContainer::PaintSkinStatic(QPainter* p, QImage* image, const SkinStatic& s) {
  QRect r = ToQRect(s.rect);
  switch (s.kind) {
    case kStaticBrush: {
      QBrush brush(*s.bitmap);
      brush.setTransform(QTransform::fromTranslate(r.left(), r.top()));
      p->fillRect(r, brush);
      break;
    }
    case kStaticBitmap:
      if (s.flags & kSkinStretch)
        p->drawImage(r, *s.bitmap);
      else if (s.flags & kSkinTransparent)
        p->drawImage(r.topLeft(), Keyed(s.bitmap));
      else
        p->drawImage(r.topLeft(), *s.bitmap);
      break;
    case kStaticControl:
      if (s.flags & kRelievoOutter) {
        p->end();
        DrawReliefFrame(image, s.rect, s.flags & kRelievoRaised);
        p->begin(image);
      }
      break;
    case kStaticText: {
      p->setPen(FromColorRef(s.text.colour));
      long parsed = std::strtol(s.text.text.c_str(), nullptr, 10);
      int number = static_cast<int>(std::clamp<long>(parsed, INT32_MIN, INT32_MAX));
      if (s.text.font >= 0) {
        const SkinFont& f = skin_.fonts[s.text.font];
        QFont font;
        font.setFamilies({QString::fromStdString(f.face), font.family()});
        int dpi = logicalDpiY() > 0 ? logicalDpiY() : 96;
        font.setPixelSize(std::max(1, std::abs(dpi * f.height / 720)));
        font.setUnderline(f.underline);
        font.setStrikeOut(f.strikeout);
        font.setItalic(f.italic);
        QFont old = p->font();
        p->setFont(font);
        QString text = QString::fromStdString(s.text.text);
        bool draw = true;
        if (s.flags & kTextCallback) draw = QueryTextCallback(number, &text);
        if (draw) p->drawText(r, AlignToQt(s.text.align), text);
        p->setFont(old);
      } else {
        DrawTextCallback(p, number, r, s.text.align);
      }
      break;
    }
    case kStaticColor:
      p->fillRect(r, FromColorRef(s.value));
      break;
  }
}

void CBmpbtnContainer::RenderSkin(QImage* image, const QRect& clip) {
  QPainter p(image);
  p.setClipRect(clip);
  p.fillRect(clip, palette().color(QPalette::Window));
  for (const SkinStatic& s : skin_.statics) {
    if (!ToQRect(s.rect).adjusted(-3, -3, 3, 3).intersects(clip)) continue;
    if (!p.isActive()) p.begin(image);
    p.setClipRect(clip);
    PaintSkinStatic(&p, image, s);
  }
  if (!p.isActive()) p.begin(image);
  p.setClipRect(clip);
  PaintButtons(&p, clip);
}

void CBmpbtnContainer::paintEvent(QPaintEvent* e) {
  QImage canvas(size(), QImage::Format_RGB32);
  RenderSkin(&canvas, e->rect());
  QPainter p(this);
  p.drawImage(e->rect().topLeft(), canvas, e->rect());
}

void CBmpbtnContainer::Relayout(int w, int h) {
  for (SkinButton& b : skin_.buttons)
    b.rect = RelayoutRect(b.rect, b.flags, w, h, skin_.ref_width, skin_.ref_height);
  for (SkinStatic& s : skin_.statics) {
    s.rect = RelayoutRect(s.rect, s.flags, w, h, skin_.ref_width, skin_.ref_height);
    if (s.kind == kStaticControl) PlaceControl(s);
  }
  skin_.ref_width = w;
  skin_.ref_height = h;
}

void CBmpbtnContainer::resizeEvent(QResizeEvent* e) {
  Relayout(e->size().width(), e->size().height());
  QWidget::resizeEvent(e);
}

QRect CBmpbtnContainer::ButtonRect(int index) const {
  if (index < 0 || index >= GetButtonCount()) return QRect();
  return ToQRect(skin_.buttons[index].rect);
}
