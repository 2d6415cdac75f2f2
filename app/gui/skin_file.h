// The skin description file: buttons, statics and fonts of a skinned window, and the lookup of its bitmaps.
// Parsing is plain data; bitmaps come through a loader so that hostile files never reach the disk.
#pragma once

#include <QImage>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Button state flags.
constexpr uint16_t kBtnChecked = 0x1;
constexpr uint16_t kBtnEnabled = 0x4;
constexpr uint16_t kBtnHidden = 0x8;
// Button styles (kind in the low bits, a radio button's group in bits 16 to 23).
constexpr uint32_t kStylePush = 0x1;
constexpr uint32_t kStyleCheck = 0x2;
constexpr uint32_t kStyleRadio = 0x4;
constexpr uint32_t kStyleRepeat = 0x80;
constexpr uint32_t kStyleTrack = 0x100;
// The flag word of buttons and statics.
constexpr uint32_t kAnchorLeft = 0x1;
constexpr uint32_t kAnchorRight = 0x2;
constexpr uint32_t kAnchorTop = 0x4;
constexpr uint32_t kAnchorBottom = 0x8;
constexpr uint32_t kAnchorCenter = 0x10;
constexpr uint32_t kAnchorMiddle = 0x20;
constexpr uint32_t kAnchorAll = 0xF;
constexpr uint32_t kSkinStretch = 0x100;
constexpr uint32_t kSkinTransparent = 0x200;
constexpr uint32_t kRelievoInner = 0x1000;
constexpr uint32_t kRelievoOutter = 0x2000;
constexpr uint32_t kRelievoRaised = 0x4000;
constexpr uint32_t kTextCallback = 0x8000;
// Alignment of a text (the DrawTextA flags).
constexpr uint32_t kAlignCenter = 0x1;
constexpr uint32_t kAlignRight = 0x2;
constexpr uint32_t kAlignVCenter = 0x4;
constexpr uint32_t kAlignBottom = 0x8;
// Kinds of statics.
constexpr uint32_t kStaticBrush = 1;
constexpr uint32_t kStaticBitmap = 2;
constexpr uint32_t kStaticControl = 4;
constexpr uint32_t kStaticText = 5;
constexpr uint32_t kStaticColor = 6;

struct SkinRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const SkinRect&) const = default;
};

using SkinBitmap = std::shared_ptr<const QImage>;

struct SkinButton {
  uint32_t id = 0;
  SkinRect rect;
  SkinBitmap bitmaps[4];  // normal, pressed, hover, disabled
  uint16_t state = 0;
  uint32_t style = 0;
  uint32_t flags = 0;
};

struct SkinText {
  int font = -1;        // index into the font table, -1 none
  uint32_t colour = 0;  // 0x00BBGGRR
  uint32_t align = 0;
  std::string text;
};

struct SkinStatic {
  uint32_t kind = 0;
  uint32_t value = 0;  // control id or colour; for a text its number (atoi of the text)
  SkinRect rect;
  uint32_t flags = 0;
  SkinBitmap bitmap;  // brush and static
  SkinText text;      // text
};

struct SkinFont {
  std::string name;
  std::string face;
  int height = 0;  // tenths of a point
  bool underline = false, strikeout = false, italic = false;
};

struct SkinData {
  std::vector<SkinButton> buttons;
  std::vector<SkinStatic> statics;
  std::vector<SkinFont> fonts;
  int32_t ref_width = 0, ref_height = 0;
};

// Loads the bitmap of a name without ".bmp"; null when it cannot be loaded.
using SkinBitmapLoader = std::function<SkinBitmap(const std::string& name)>;

// Parses a skin file's text into out (emptied first). False when some line was rejected; every accepted
// line is kept either way.
bool ParseSkinText(std::string_view text, const SkinBitmapLoader& loader, SkinData* out);
// The flag word and the alignment word of '|'-joined tokens.
uint32_t ParseSkinFlags(std::string_view text);
uint32_t ParseSkinAlign(std::string_view text);

// Loads name (".bmp" optional) from the skin folder: locale/N.bmp, then the first folder whose name begins
// with the locale's language (or the language itself), then N.bmp. locale like "en-US". Paths are joined;
// the current folder is never changed.
SkinBitmap LoadSkinBitmap(const std::string& folder, const std::string& locale, const std::string& name);
// The user's locale name as "en-US".
std::string SkinLocaleName();
// Reads and parses a skin file with bitmaps from its folder. False when it cannot be opened or a line was
// rejected.
bool LoadSkinData(const std::string& path, SkinData* out);
