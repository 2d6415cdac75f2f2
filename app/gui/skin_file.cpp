#include "app/gui/skin_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kLineMax = 511;   // characters of a line; longer lines come in pieces
constexpr size_t kFieldMax = 199;  // characters of a field
constexpr size_t kItemMax = 31;    // characters of a '|' item, a font name

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// strnicmp(a, b, n) == 0 for a b of at least n characters.
bool PrefixNoCase(std::string_view a, std::string_view b, size_t n) {
  if (a.size() < n) return false;
  return EqualsNoCase(a.substr(0, n), b.substr(0, n));
}

// Splits at ',' into trimmed fields of at most kFieldMax characters.
std::vector<std::string> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t comma = line.find(',', start);
    std::string_view f =
        line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    f = Trim(f.substr(0, kFieldMax));
    fields.emplace_back(f);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return fields;
}

// Calls fn with each trimmed '|' item (at most kItemMax characters).
template <typename Fn>
void ForEachItem(std::string_view text, Fn fn) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t bar = text.find('|', start);
    std::string_view item =
        text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
    item = Trim(item.substr(0, kItemMax));
    if (!item.empty()) fn(item);
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
}

// atoi without its undefined overflow: out-of-range numbers are clamped.
int AtoiText(const char* text) {
  long v = std::strtol(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int>(v);
}

int Atoi(const std::string& s) { return AtoiText(s.c_str()); }

// atoi that skips a first character that is not a digit (so -10 and +10 both read 10).
int AtoiFirstCoord(const std::string& s) {
  if (!s.empty() && !std::isdigit(static_cast<unsigned char>(s[0]))) return AtoiText(s.c_str() + 1);
  return AtoiText(s.c_str());
}

uint32_t Strtoul0(const std::string& s) { return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 0)); }

std::string StripBmp(std::string name) {
  if (name.size() >= 4 && EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".bmp"))
    name.resize(name.size() - 4);
  return name;
}

// The state flags of a '|' list.
uint16_t ParseStates(std::string_view text) {
  uint16_t states = 0;
  ForEachItem(text, [&](std::string_view item) {
    if (EqualsNoCase(item, "enabled"))
      states |= kBtnEnabled;
    else if (EqualsNoCase(item, "hidden"))
      states |= kBtnHidden;
    else if (EqualsNoCase(item, "checked"))
      states |= kBtnChecked;
  });
  return states;
}

bool ParseButton(const std::vector<std::string>& f, const SkinBitmapLoader& loader, SkinData* out) {
  if (f.size() < 12) return false;
  SkinButton b;
  b.id = static_cast<uint32_t>(Atoi(f[0]));
  if (!f[1].empty()) {
    b.bitmaps[0] = loader(StripBmp(f[1]));
    if (!b.bitmaps[0]) return false;
  }
  for (int i = 1; i < 4; ++i)
    if (!f[1 + i].empty()) b.bitmaps[i] = loader(StripBmp(f[1 + i]));
  for (int i = 5; i <= 8; ++i)
    if (f[i].empty()) return false;
  int x = AtoiFirstCoord(f[5]), y = Atoi(f[6]), w = Atoi(f[7]), h = Atoi(f[8]);
  b.rect = {x, y, static_cast<int32_t>(static_cast<int64_t>(x) + w),
            static_cast<int32_t>(static_cast<int64_t>(y) + h)};
  const std::string& kind = f[9];
  if (EqualsNoCase(kind, "button"))
    b.style = kStylePush;
  else if (EqualsNoCase(kind, "track_button"))
    b.style = kStylePush | kStyleTrack;
  else if (EqualsNoCase(kind, "check"))
    b.style = kStyleCheck;
  else if (PrefixNoCase(kind, "checkgroup(", 11))
    b.style = (static_cast<uint32_t>(AtoiText(kind.c_str() + 11)) << 16) | kStyleRadio;
  else
    return false;  // the loaded bitmaps go with b
  b.state = ParseStates(f[10]);
  b.flags = ParseSkinFlags(f[11]);
  out->buttons.push_back(std::move(b));
  return true;
}

int FindFont(const SkinData& d, std::string_view name) {
  for (size_t i = 0; i < d.fonts.size(); ++i)
    if (d.fonts[i].name == name) return static_cast<int>(i);
  return -1;
}

bool ParseStatic(const std::vector<std::string>& f, const SkinBitmapLoader& loader, SkinData* out) {
  const std::string& kind = f[0];
  if (EqualsNoCase(kind, "font")) {
    if (f.size() < 4) return false;
    SkinFont font;
    font.name = f[1].substr(0, kItemMax);
    font.face = f[2].substr(0, kItemMax);
    font.height = Atoi(f[3]);
    if (font.name.empty() || font.face.empty() || font.height == 0) return false;
    if (f.size() > 4)
      ForEachItem(f[4], [&](std::string_view item) {
        if (EqualsNoCase(item, "Underline"))
          font.underline = true;
        else if (EqualsNoCase(item, "Strikeout"))
          font.strikeout = true;
        else if (EqualsNoCase(item, "Italic"))
          font.italic = true;
      });
    out->fonts.push_back(std::move(font));
    return true;
  }
  SkinStatic s;
  if (EqualsNoCase(kind, "control"))
    s.kind = kStaticControl;
  else if (EqualsNoCase(kind, "brush"))
    s.kind = kStaticBrush;
  else if (EqualsNoCase(kind, "static"))
    s.kind = kStaticBitmap;
  else if (EqualsNoCase(kind, "colorblock"))
    s.kind = kStaticColor;
  else if (EqualsNoCase(kind, "text"))
    s.kind = kStaticText;
  else
    return false;
  if (f.size() < 6 || f[1].empty()) return false;
  for (int i = 2; i <= 5; ++i)
    if (f[i].empty()) return false;
  s.rect = {AtoiFirstCoord(f[2]), Atoi(f[3]), Atoi(f[4]), Atoi(f[5])};
  if (f.size() > 6) s.flags = ParseSkinFlags(f[6]);
  switch (s.kind) {
    case kStaticControl:
    case kStaticColor:
      s.value = Strtoul0(f[1]);
      break;
    case kStaticBrush:
    case kStaticBitmap:
      s.bitmap = loader(StripBmp(f[1]));
      if (!s.bitmap) return false;
      break;
    case kStaticText:
      if (f.size() < 8) return false;  // the font name is required
      s.text.text = f[1];
      s.text.font = FindFont(*out, f[7]);
      if (f.size() > 8) s.text.colour = Strtoul0(f[8]);
      if (f.size() > 9) s.text.align = ParseSkinAlign(f[9]);
      break;
  }
  out->statics.push_back(std::move(s));
  return true;
}

}  // namespace

uint32_t ParseSkinFlags(std::string_view text) {
  static const struct {
    const char* token;
    uint32_t value;
    size_t prefix;  // compared on this many characters, 0 the whole token
  } kTokens[] = {{"AnchorLeft", kAnchorLeft, 0},
                 {"AnchorRight", kAnchorRight, 0},
                 {"AnchorTop", kAnchorTop, 0},
                 {"AnchorBottom", kAnchorBottom, 0},
                 {"AnchorAll", 0xF, 0},
                 {"AnchorCenter", kAnchorCenter, 0},
                 {"AnchorMiddle", kAnchorMiddle, 0},
                 {"Stretch", kSkinStretch, 0},
                 {"Transparent", kSkinTransparent, 0},
                 {"RelievoInner", kRelievoInner, 12},
                 {"RelievoOutter", kRelievoOutter, 13},
                 {"RelievoRaised", kRelievoRaised, 0},
                 {"TextCallback", kTextCallback, 0}};
  uint32_t flags = 0;
  ForEachItem(text, [&](std::string_view item) {
    for (const auto& t : kTokens) {
      bool match = t.prefix ? PrefixNoCase(item, t.token, t.prefix) : EqualsNoCase(item, t.token);
      if (match) {
        flags |= t.value;
        break;
      }
    }
  });
  return flags;
}

uint32_t ParseSkinAlign(std::string_view text) {
  uint32_t align = 0;
  ForEachItem(text, [&](std::string_view item) {
    if (EqualsNoCase(item, "AlignCenter"))
      align |= kAlignCenter;
    else if (EqualsNoCase(item, "AlignRight"))
      align |= kAlignRight;
    else if (EqualsNoCase(item, "AlignVCenter"))
      align |= kAlignVCenter;
    else if (EqualsNoCase(item, "AlignBottom"))
      align |= kAlignBottom;
  });
  return align;
}

bool ParseSkinText(std::string_view text, const SkinBitmapLoader& loader, SkinData* out) {
  *out = SkinData{};
  enum { kNone, kBasic, kButton, kStatic } section = kNone;
  bool ok = true;
  size_t pos = 0;
  while (pos < text.size()) {
    // A line as fgets reads it into 512 bytes: up to and including '\n', at most kLineMax characters.
    size_t end = pos;
    while (end < text.size() && end - pos < kLineMax) {
      if (text[end++] == '\n') break;
    }
    std::string_view raw = text.substr(pos, end - pos);
    pos = end;
    // A zero byte ends the line as the C string would.
    raw = raw.substr(0, raw.find('\0'));
    std::string_view line = Trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (EqualsNoCase(line, "[basic]"))
        section = kBasic;
      else if (EqualsNoCase(line, "[button]"))
        section = kButton;
      else if (EqualsNoCase(line, "[static]"))
        section = kStatic;
      else
        section = kNone;
      continue;
    }
    switch (section) {
      case kNone:
        break;
      case kBasic: {
        size_t eq = line.find('=');
        if (eq == 0 || eq == std::string_view::npos) break;  // "%[^=]" needs a character
        std::string_view key = line.substr(0, eq);
        std::string_view rest = line.substr(eq + 1);
        while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
        size_t stop = 0;
        while (stop < rest.size() && !IsBlank(rest[stop])) ++stop;
        if (stop == 0) break;  // "%s" matched nothing
        std::string value(rest.substr(0, stop));
        if (EqualsNoCase(key, "width"))
          out->ref_width = AtoiText(value.c_str());
        else if (EqualsNoCase(key, "height"))
          out->ref_height = AtoiText(value.c_str());
        break;
      }
      case kButton:
        if (!ParseButton(SplitFields(line), loader, out)) ok = false;
        break;
      case kStatic:
        if (!ParseStatic(SplitFields(line), loader, out)) ok = false;
        break;
    }
  }
  return ok;
}

std::string SkinLocaleName() {
  QString name = QLocale::system().name();  // en_US
  name.replace(QLatin1Char('_'), QLatin1Char('-'));
  return name.toStdString();
}

namespace {

SkinBitmap TryLoad(const QString& path) {
  QImage image;
  if (!QFile::exists(path) || !image.load(path, "BMP")) return nullptr;
  return std::make_shared<const QImage>(image.convertToFormat(QImage::Format_RGB32));
}

}  // namespace

SkinBitmap LoadSkinBitmap(const std::string& folder, const std::string& locale, const std::string& name) {
  const QString dir = QString::fromStdString(folder);
  const QString file = QString::fromStdString(StripBmp(name)) + QStringLiteral(".bmp");
  // Names stay inside the skin folder.
  if (file.contains(QLatin1String("..")) || file.startsWith(QLatin1Char('/'))) return nullptr;
  const QString loc = QString::fromStdString(locale);
  if (!loc.isEmpty()) {
    if (SkinBitmap b = TryLoad(dir + QLatin1Char('/') + loc + QLatin1Char('/') + file)) return b;
    int dash = loc.indexOf(QLatin1Char('-'));
    if (dash > 0) {
      QString lang = loc.left(dash);
      QString sub = lang;
      const QStringList entries = QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
      for (const QString& e : entries)
        if (e.startsWith(lang)) {
          sub = e;
          break;
        }
      if (SkinBitmap b = TryLoad(dir + QLatin1Char('/') + sub + QLatin1Char('/') + file)) return b;
    }
  }
  return TryLoad(dir + QLatin1Char('/') + file);
}

bool LoadSkinData(const std::string& path, SkinData* out) {
  *out = SkinData{};
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QByteArray bytes = f.readAll();
  const std::string folder = QFileInfo(f).absolutePath().toStdString();
  const std::string locale = SkinLocaleName();
  return ParseSkinText(
      std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
      [&](const std::string& name) { return LoadSkinBitmap(folder, locale, name); }, out);
}
