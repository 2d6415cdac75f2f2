// The skin file parser over hostile text: every accepted button and static is well formed, and no bitmap
// is asked for outside the names the file gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/gui/skin_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto loader = [](const std::string& name) -> SkinBitmap {
    if (name.size() > 199) std::abort();
    if (name.empty() || name[0] == 'x') return nullptr;
    static const auto image = std::make_shared<const QImage>(2, 2, QImage::Format_RGB32);
    return image;
  };
  SkinData d;
  ParseSkinText(text, loader, &d);
  for (const SkinButton& b : d.buttons) {
    uint32_t kind = b.style & 0xFFFF;
    if (kind != 1 && kind != 0x101 && kind != 2 && kind != 4) std::abort();
    if (b.state & ~0xD) std::abort();
  }
  for (const SkinStatic& s : d.statics) {
    if (s.kind < 1 || s.kind > 6 || s.kind == 3) std::abort();
    if ((s.kind == 1 || s.kind == 2) && !s.bitmap) std::abort();
    if (s.text.font >= static_cast<int>(d.fonts.size())) std::abort();
  }
  for (const SkinFont& f : d.fonts)
    if (f.name.empty() || f.name.size() > 31 || f.face.size() > 31 || f.height == 0) std::abort();
  return 0;
}
