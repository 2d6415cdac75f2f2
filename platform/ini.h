// Private-profile INI files: "[section]" headers, "key=value" lines, ';' and '#' comment lines.
// Section and key names compare without regard to ASCII letter case; values are trimmed of blanks and of one
// pair of surrounding quotes. Writes keep every other line of the file (comments included) as it was. A
// missing or unreadable file reads as empty; any bytes read as some file without harm.
#pragma once

#include <cstdint>

namespace platform {

// Copies the value of key in section (or def, blanks at its end dropped, when missing; null def = "") into
// out, at most size - 1 characters, always terminated. Returns the characters copied.
uint32_t IniGetString(const char* section, const char* key, const char* def, char* out, uint32_t size,
                      const char* path);

// The value of key as an integer like GetPrivateProfileInt: leading blanks, an optional sign, then "0x" hex
// or decimal digits up to the first other character (none: 0), modulo 2^32. def when the key is missing or
// empty.
int IniGetInt(const char* section, const char* key, int def, const char* path);

// Sets key=value in section, making the file, the section (at the end) or the key (after the section's last
// entry) as needed. A null value deletes the key; a null key deletes the section. False when the file cannot
// be written, or a name or value holds a line break, the section a ']' or the key a '=' or nothing.
bool IniWriteString(const char* section, const char* key, const char* value, const char* path);

// Copies the section's entries as "key=value" strings, each NUL-terminated, the list ended by one more NUL,
// into out (size bytes). Returns the characters copied without the final NUL; size - 2 when the list was cut.
uint32_t IniGetSection(const char* section, char* out, uint32_t size, const char* path);

// Replaces the entries of section by the block of NUL-terminated "key=value" strings ended by an empty one,
// keeping its comment lines; makes the file or section as needed. A null block deletes the section.
bool IniWriteSection(const char* section, const char* block, const char* path);

}  // namespace platform
