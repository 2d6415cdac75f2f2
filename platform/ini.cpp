#include "platform/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
namespace {

std::mutex g_write_mu;  // one read-modify-write at a time in this process

struct Line {
  enum Kind { kOther, kBlank, kComment, kSection, kEntry };
  Kind kind = kOther;
  std::string raw;    // the line as in the file, without its line end
  bool cr = false;    // the line ended with CR LF
  std::string name;   // section name or key, trimmed
  std::string value;  // entry value, trimmed and unquoted
};

struct IniFile {
  bool bom = false;   // the file starts with a UTF-8 byte order mark
  bool crlf = false;  // new lines get CR LF
  std::vector<Line> lines;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

void Classify(Line& l) {
  // Names and values are C strings: a NUL byte ends the line for them (the raw line is kept as it is).
  std::string_view t = Trim(std::string_view(l.raw).substr(0, l.raw.find('\0')));
  l.name.clear();
  l.value.clear();
  if (t.empty()) {
    l.kind = Line::kBlank;
  } else if (t[0] == ';' || t[0] == '#') {
    l.kind = Line::kComment;
  } else if (t[0] == '[') {
    size_t close = t.find(']');
    l.kind = Line::kSection;
    l.name = Trim(t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  } else if (size_t eq = t.find('='); eq != std::string_view::npos) {
    l.kind = Line::kEntry;
    l.name = Trim(t.substr(0, eq));
    std::string_view v = Trim(t.substr(eq + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    l.value = v;
  } else {
    l.kind = Line::kOther;
  }
}

Line MakeLine(std::string raw, bool cr) {
  Line l;
  l.raw = std::move(raw);
  l.cr = cr;
  Classify(l);
  return l;
}

IniFile Load(const char* path) {
  IniFile f;
  std::string data;
  if (FILE* fp = std::fopen(path, "rb")) {
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) data.append(buf, n);
    std::fclose(fp);
  }
  std::string_view rest(data);
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") {
    f.bom = true;
    rest.remove_prefix(3);
  }
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
    bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.remove_suffix(1);
    f.lines.push_back(MakeLine(std::string(line), cr));
  }
  f.crlf = !f.lines.empty() && f.lines.front().cr;
  return f;
}

bool Save(const IniFile& f, const char* path) {
  std::string out;
  if (f.bom) out = "\xEF\xBB\xBF";
  for (const Line& l : f.lines) {
    out += l.raw;
    out += l.cr ? "\r\n" : "\n";
  }
  // Written beside the file and renamed over it, so a failed write never leaves half a file.
  static std::atomic<unsigned> serial{0};
  std::string tmp = std::string(path) + ".tmp" + std::to_string(getpid()) + "." + std::to_string(serial++);
  struct stat st;
  bool existed = ::stat(path, &st) == 0;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = !existed || ::fchmod(fd, st.st_mode & 07777) == 0;
  for (size_t done = 0; ok && done < out.size();) {
    ssize_t n = ::write(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(tmp.c_str(), path) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

// Calls fn(index) for every line inside a section named section.
template <class Fn>
void ForEachInSection(const IniFile& f, std::string_view section, Fn fn) {
  bool inside = false;
  for (size_t i = 0; i < f.lines.size(); ++i) {
    const Line& l = f.lines[i];
    if (l.kind == Line::kSection) {
      inside = EqualNoCase(l.name, section);
    } else if (inside) {
      fn(i);
    }
  }
}

std::optional<size_t> FindEntry(const IniFile& f, std::string_view section, std::string_view key) {
  std::optional<size_t> found;
  ForEachInSection(f, section, [&](size_t i) {
    if (!found && f.lines[i].kind == Line::kEntry && EqualNoCase(f.lines[i].name, key)) found = i;
  });
  return found;
}

std::optional<size_t> FindSection(const IniFile& f, std::string_view section) {
  for (size_t i = 0; i < f.lines.size(); ++i)
    if (f.lines[i].kind == Line::kSection && EqualNoCase(f.lines[i].name, section)) return i;
  return std::nullopt;
}

void EraseSections(IniFile& f, std::string_view section) {
  std::vector<Line> kept;
  bool inside = false;
  for (Line& l : f.lines) {
    if (l.kind == Line::kSection) inside = EqualNoCase(l.name, section);
    if (!inside) kept.push_back(std::move(l));
  }
  f.lines = std::move(kept);
}

// Appends "[section]" at the end of the file (after a blank line) and returns the index after it.
size_t AppendSection(IniFile& f, std::string_view section) {
  if (!f.lines.empty() && f.lines.back().kind != Line::kBlank) f.lines.push_back(MakeLine("", f.crlf));
  std::string header = "[";  // appended, not "[" + text: GCC 12 warns (-Wrestrict) on that insert
  header.append(section).append("]");
  f.lines.push_back(MakeLine(header, f.crlf));
  return f.lines.size();
}

// Removes every section named section, with its lines, and saves; true at once when there is none.
bool RemoveSection(IniFile& f, std::string_view section, const char* path) {
  if (!FindSection(f, section)) return true;
  EraseSections(f, section);
  return Save(f, path);
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

bool ValidSection(std::string_view s) { return !s.empty() && !HasLineBreak(s) && s.find(']') == s.npos; }

bool ValidKey(std::string_view k) {
  return !k.empty() && !HasLineBreak(k) && k.find('=') == k.npos && k[0] != ';' && k[0] != '#' && k[0] != '[';
}

std::string_view Arg(const char* s) { return s ? Trim(s) : std::string_view(); }

}  // namespace

uint32_t IniGetString(const char* section, const char* key, const char* def, char* out, uint32_t size,
                      const char* path) {
  if (!out || size == 0) return 0;
  std::string value;
  std::optional<size_t> at;
  IniFile f;
  if (section && key && path) {
    f = Load(path);
    at = FindEntry(f, Arg(section), Arg(key));
  }
  if (at) {
    value = f.lines[*at].value;
  } else if (def) {
    std::string_view d(def);
    while (!d.empty() && IsBlank(d.back())) d.remove_suffix(1);
    value = d;
  }
  size_t n = std::min<size_t>(value.size(), size - 1);
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
  return static_cast<uint32_t>(n);
}

int IniGetInt(const char* section, const char* key, int def, const char* path) {
  if (!section || !key || !path) return def;
  IniFile f = Load(path);
  std::optional<size_t> at = FindEntry(f, Arg(section), Arg(key));
  if (!at || f.lines[*at].value.empty()) return def;
  const std::string& v = f.lines[*at].value;
  size_t i = 0;
  while (i < v.size() && (IsBlank(v[i]) || v[i] == '\n')) ++i;
  bool negative = false;
  if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
  uint32_t acc = 0;
  if (i + 1 < v.size() && v[i] == '0' && (v[i + 1] == 'x' || v[i + 1] == 'X')) {
    for (i += 2; i < v.size(); ++i) {
      char c = Lower(v[i]);
      uint32_t d;
      if (c >= '0' && c <= '9') {
        d = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<uint32_t>(c - 'a' + 10);
      } else {
        break;
      }
      acc = acc * 16u + d;
    }
  } else {
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i)
      acc = acc * 10u + static_cast<uint32_t>(v[i] - '0');
  }
  if (negative) acc = 0u - acc;
  return static_cast<int>(acc);
}

bool IniWriteString(const char* section, const char* key, const char* value, const char* path) {
  if (!section || !path) return false;
  std::string_view sec = Arg(section), k = Arg(key);
  if (!ValidSection(sec) || (key && !ValidKey(k)) || (value && HasLineBreak(value))) return false;
  std::lock_guard<std::mutex> lk(g_write_mu);
  IniFile f = Load(path);
  if (!key) return RemoveSection(f, sec, path);
  if (std::optional<size_t> at = FindEntry(f, sec, k)) {
    if (!value) {
      f.lines.erase(f.lines.begin() + static_cast<long>(*at));
    } else {
      Line& l = f.lines[*at];
      l = MakeLine(l.name + "=" + value, l.cr);
    }
    return Save(f, path);
  }
  if (!value) return true;
  size_t insert_at;
  if (std::optional<size_t> header = FindSection(f, sec)) {
    insert_at = *header + 1;
    bool inside = true;
    for (size_t i = *header + 1; i < f.lines.size() && inside; ++i) {
      if (f.lines[i].kind == Line::kSection)
        inside = false;
      else if (f.lines[i].kind == Line::kEntry || f.lines[i].kind == Line::kOther)
        insert_at = i + 1;
    }
  } else {
    insert_at = AppendSection(f, sec);
  }
  f.lines.insert(f.lines.begin() + static_cast<long>(insert_at),
                 MakeLine(std::string(k) + "=" + value, f.crlf));
  return Save(f, path);
}

uint32_t IniGetSection(const char* section, char* out, uint32_t size, const char* path) {
  if (!out || size == 0) return 0;
  std::string list;
  if (section && path) {
    IniFile f = Load(path);
    ForEachInSection(f, Arg(section), [&](size_t i) {
      const Line& l = f.lines[i];
      if (l.kind != Line::kEntry) return;
      list += l.name + "=" + l.value;
      list += '\0';
    });
  }
  if (size == 1) {
    out[0] = '\0';
    return 0;
  }
  if (list.size() + 1 <= size) {
    std::memcpy(out, list.data(), list.size());
    out[list.size()] = '\0';
    if (list.empty() && size > 1) out[1] = '\0';
    return static_cast<uint32_t>(list.size());
  }
  std::memcpy(out, list.data(), size - 2);
  out[size - 2] = '\0';
  out[size - 1] = '\0';
  return size - 2;
}

bool IniWriteSection(const char* section, const char* block, const char* path) {
  if (!section || !path) return false;
  std::string_view sec = Arg(section);
  if (!ValidSection(sec)) return false;
  std::vector<std::string> entries;
  for (const char* p = block; p && *p; p += std::strlen(p) + 1) {
    if (HasLineBreak(p) || Trim(p).starts_with("[")) return false;
    entries.emplace_back(p);
  }
  std::lock_guard<std::mutex> lk(g_write_mu);
  IniFile f = Load(path);
  if (!block) return RemoveSection(f, sec, path);
  std::optional<size_t> header = FindSection(f, sec);
  size_t insert_at;
  if (header) {
    // Drop the entries of every section of that name; the new ones go where the first one stood.
    std::optional<size_t> first;
    std::vector<Line> kept;
    bool inside = false;
    for (size_t i = 0; i < f.lines.size(); ++i) {
      Line& l = f.lines[i];
      if (l.kind == Line::kSection) inside = EqualNoCase(l.name, sec);
      if (inside && (l.kind == Line::kEntry || l.kind == Line::kOther)) {
        if (!first && i > *header) first = kept.size();
        continue;
      }
      kept.push_back(std::move(l));
    }
    f.lines = std::move(kept);
    insert_at = first ? *first : *header + 1;
  } else {
    insert_at = AppendSection(f, sec);
  }
  std::vector<Line> added;
  for (std::string& e : entries) added.push_back(MakeLine(std::move(e), f.crlf));
  f.lines.insert(f.lines.begin() + static_cast<long>(insert_at), added.begin(), added.end());
  return Save(f, path);
}

}  // namespace platform
