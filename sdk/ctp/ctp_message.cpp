// CTP/1.0 request building and response parsing on byte spans.
#include "sdk/ctp/ctp_message.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Position of "\r\n" in [from, size) of text, or npos.
size_t FindCrlf(const char* text, size_t size, size_t from = 0) {
  for (size_t i = from; i + 1 < size; ++i)
    if (text[i] == '\r' && text[i + 1] == '\n') return i;
  return std::string_view::npos;
}

// strtol with base 0 over a bounded value; false when it holds no number or leaves int.
bool ParseInt(std::string_view value, long* out) {
  char buf[32];
  size_t n = value.size() < sizeof(buf) - 1 ? value.size() : sizeof(buf) - 1;
  memcpy(buf, value.data(), n);
  buf[n] = '\0';
  errno = 0;
  char* end = nullptr;
  long v = strtol(buf, &end, 0);
  if (end == buf) {
    *out = 0;
    return false;
  }
  *out = v;
  return errno == 0;
}

int ClampInt(long v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }

bool SafeText(const char* text) {
  for (const char* p = text; *p; ++p)
    if (*p == '"' || *p == '\r' || *p == '\n' || *p == '\0') return false;
  return true;
}

// A value that holds blanks travels in double quotes, so that the option tokens keep it whole.
std::string OptionValue(const std::string& v) {
  for (char c : v)
    if (IsBlank(c)) return "\"" + v + "\"";
  return v;
}

std::string Head(int channel, const CtpPtzAction& action) {
  std::string s = "ptzctrl -chn " + std::to_string(channel) + " -act ";
  s += action.text ? std::string(action.text) : std::to_string(action.number);
  return s;
}

bool InList(int action, std::initializer_list<int> list) {
  for (int a : list)
    if (a == action) return true;
  return false;
}

// Actions of the table with a fixed parameter shape; the others take two numbers, bytes or a text.
bool IsNumbersOnly(int a) {
  return InList(a, {0, 17, 19, 21, 23, 25, 27, 1, 3, 5, 7, 30, 31, 35, 36, 9, 11, 13, 15, 33}) ||
         (a >= 37 && a <= 43);
}
bool IsNamed(int a) { return a == 29 || a == 32; }

bool ActionOk(const CtpPtzAction& action) {
  if (action.text) return *action.text && SafeText(action.text) && !strpbrk(action.text, " \t");
  return true;
}

}  // namespace

// ---- Requests ----

size_t CtpRequestHeadSize(const char* name, int body_length, const char* extra) {
  size_t n = strlen("CMD  CTP/1.0\r\n") + strlen(name) + 2;
  if (body_length > 0) n += strlen("Content-Length: \r\n") + std::to_string(body_length).size();
  if (extra) n += strlen(extra);
  return n;
}

char* CtpFormatRequest(char* out, size_t out_size, const char* name, int body_length, const char* extra) {
  int n;
  bool has_extra = extra && *extra;
  if (body_length > 0 && has_extra)
    n = snprintf(out, out_size, "CMD %s CTP/1.0\r\nContent-Length: %d\r\n%s\r\n", name, body_length, extra);
  else if (body_length > 0)
    n = snprintf(out, out_size, "CMD %s CTP/1.0\r\nContent-Length: %d\r\n\r\n", name, body_length);
  else if (has_extra)
    n = snprintf(out, out_size, "CMD %s CTP/1.0\r\n%s\r\n", name, extra);
  else
    n = snprintf(out, out_size, "CMD %s CTP/1.0\r\n\r\n", name);
  if (n < 0 || static_cast<size_t>(n) >= out_size) return nullptr;
  return out + n;
}

std::string CtpBuildRequest(const char* name, const char* body, int body_length, const char* extra,
                            const char* client_id) {
  if (body_length < 0 || (body_length > 0 && !body)) body_length = 0;
  std::string cookie;
  if (client_id && *client_id) cookie = std::string("Cookie: cltid=") + client_id + "\r\n";
  size_t head = CtpRequestHeadSize(name, body_length, extra);
  std::string out(head + 1, '\0');
  char* end = CtpFormatRequest(out.data(), out.size(), name, body_length, extra);
  if (!end) return std::string();
  out.resize(static_cast<size_t>(end - out.data()));
  if (!cookie.empty()) out.insert(out.size() - 2, cookie);
  if (body_length > 0) out.append(body, static_cast<size_t>(body_length));
  return out;
}

bool CtpValidName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  return true;
}

bool CtpNextToken(CtpTokenizer* t, std::string* token) {
  const char* p = t->pos;
  while (p < t->end && IsBlank(*p)) ++p;
  if (p >= t->end || *p != '-') {
    t->pos = p;
    return false;
  }
  const char* name = p;
  while (p < t->end && !IsBlank(*p)) ++p;
  token->assign(name, static_cast<size_t>(p - name));
  const char* q = p;
  while (q < t->end && IsBlank(*q)) ++q;
  if (q < t->end && *q != '-') {
    const char* v = q;
    if (*q == '"') {
      ++q;
      while (q < t->end && *q != '"') ++q;
      if (q < t->end) ++q;  // the closing quote stays with the value
    } else {
      while (q < t->end && !IsBlank(*q)) ++q;
    }
    token->push_back(' ');
    token->append(v, static_cast<size_t>(q - v));
    p = q;
  }
  t->pos = p;
  return true;
}

bool CtpSplitCommandLine(std::string_view line, std::string* name, std::string* body) {
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  size_t start = i;
  while (i < line.size() && !IsBlank(line[i])) ++i;
  name->assign(line.substr(start, i - start));
  body->clear();
  if (name->empty()) return false;
  CtpTokenizer t = CtpTokenizerOver(line.substr(i));
  std::string token;
  while (CtpNextToken(&t, &token)) {
    body->append(token);
    body->append("\r\n");
  }
  if (!body->empty()) body->append("\r\n");
  return true;
}

int CtpPtzCommandLine(int channel, CtpPtzAction action, int p1, int p2, std::string* line) {
  if (!ActionOk(action)) return kCtpBadArgument;
  std::string s = Head(channel, action);
  int a = action.text ? -1 : action.number;
  char buf[96];
  if (InList(a, {0, 17, 19, 21, 23, 25, 27}) || (a >= 37 && a <= 43)) {
  } else if (InList(a, {1, 3, 5, 7})) {
    if (p1 != 0) s += " -para " + std::to_string(p1);
  } else if (InList(a, {30, 31, 35, 36})) {
    s += " -para " + std::to_string(p1);
  } else if (InList(a, {9, 11, 13, 15})) {
    snprintf(buf, sizeof(buf), " -para %d,%d", p1, p2);
    s += buf;
  } else if (a == 33) {
    uint32_t v = static_cast<uint32_t>(p2);
    s = Head(channel, 19);
    snprintf(buf, sizeof(buf), " -para %d,%u,%u", p1, v >> 16, v & 0xFFFFu);
    s += buf;
  } else if (IsNamed(a)) {
    return kCtpBadArgument;
  } else {
    snprintf(buf, sizeof(buf), "%u, %u", static_cast<unsigned>(p1), static_cast<unsigned>(p2));
    s += " -para " + OptionValue(buf);
  }
  *line = s;
  return kCtpOk;
}

int CtpPtzCommandLine(int channel, CtpPtzAction action, int p1, const char* name, std::string* line) {
  if (action.text || !IsNamed(action.number) || !name || !SafeText(name)) return kCtpBadArgument;
  *line = Head(channel, action) + " -para " + std::to_string(p1) + " -name " + OptionValue(name);
  return kCtpOk;
}

int CtpPtzCommandLineBytes(int channel, CtpPtzAction action, const uint8_t* bytes, size_t count,
                           std::string* line) {
  if (!ActionOk(action) || (!action.text && (IsNumbersOnly(action.number) || IsNamed(action.number))) ||
      (count > 0 && !bytes))
    return kCtpBadArgument;
  std::string list;
  for (size_t i = 0; i < count; ++i) {
    if (i) list += ", ";
    list += std::to_string(bytes[i]);
  }
  *line = Head(channel, action) + " -para " + OptionValue(list);
  return kCtpOk;
}

int CtpPtzCommandLineText(int channel, CtpPtzAction action, const char* text, std::string* line) {
  if (!ActionOk(action) || (!action.text && (IsNumbersOnly(action.number) || IsNamed(action.number))) ||
      !text || !SafeText(text))
    return kCtpBadArgument;
  *line = Head(channel, action) + " -para " + OptionValue(text);
  return kCtpOk;
}

// ---- Responses ----

int CtpParseStatusLine(std::string_view line, const char* prefix, std::string* rest) {
  size_t plen = strlen(prefix);
  if (line.size() < plen + 2 || line.compare(0, plen, prefix) != 0) return kCtpBadStatus;
  size_t i = plen;
  if (line[i] < '0' || line[i] > '9') return kCtpBadStatus;
  i += 2;  // the version digit and one character
  int code = 0, digits = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9' && digits < 4) {
    code = code * 10 + (line[i] - '0');
    ++i;
    ++digits;
  }
  if (digits == 0 || code < 100 || code > 999) return kCtpBadStatus;
  if (rest) rest->assign(line.substr(i));
  return code == 200 ? kCtpOk : code;
}

int CtpParseNameValue(std::string_view text, CtpNameValueItem* items, int count, int flags) {
  for (int k = 0; k < count; ++k) {
    items[k].value = std::string_view();
    if (flags & kCtpNvKeep || !items[k].target) continue;
    switch (items[k].type) {
      case kCtpValueInt: *static_cast<int*>(items[k].target) = 0; break;
      case kCtpValueText:
        if (items[k].size > 0) static_cast<char*>(items[k].target)[0] = '\0';
        break;
      case kCtpValueString: static_cast<std::string*>(items[k].target)->clear(); break;
      case kCtpValueView: *static_cast<std::string_view*>(items[k].target) = std::string_view(); break;
    }
  }
  int found = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end, next;
    if (flags & kCtpNvNulLines) {
      end = text.find('\0', pos);
      if (end == std::string_view::npos) end = text.size();
      next = end + 1;
    } else {
      end = FindCrlf(text.data(), text.size(), pos);
      if (end == std::string_view::npos) end = text.size();
      next = end + 2;
    }
    if (end == pos) break;  // an empty line ends
    size_t b = pos, e = end;
    pos = next;
    while (e > b && (IsBlank(text[e - 1]) || text[e - 1] == '"')) --e;
    while (b < e && IsBlank(text[b])) ++b;
    if (b < e && text[b] == '-') ++b;
    size_t n = b;
    while (n < e && !IsBlank(text[n]) && text[n] != ':' && text[n] != '=') ++n;
    std::string_view name = text.substr(b, n - b);
    size_t v = n;
    while (v < e && (IsBlank(text[v]) || text[v] == ':' || text[v] == '=' || text[v] == '"')) ++v;
    std::string_view value = text.substr(v, e - v);
    if (name.empty()) continue;
    for (int k = 0; k < count; ++k) {
      const char* iname = items[k].name;
      if (*iname == '-') ++iname;
      size_t ilen = strlen(iname);
      if (ilen != name.size()) continue;
      bool same = (flags & kCtpNvCase) ? memcmp(iname, name.data(), ilen) == 0
                                       : strncasecmp(iname, name.data(), ilen) == 0;
      if (!same) continue;
      CtpNameValueItem& it = items[k];
      it.value = value;
      switch (it.type) {
        case kCtpValueInt: {
          long x;
          ParseInt(value, &x);
          if (it.target)
            *static_cast<int*>(it.target) = ClampInt(x);
          else
            it.size = ClampInt(x);
          break;
        }
        case kCtpValueText:
          if (it.target && it.size > 0) {
            size_t c = value.size() < static_cast<size_t>(it.size - 1) ? value.size() : it.size - 1;
            memcpy(it.target, value.data(), c);
            static_cast<char*>(it.target)[c] = '\0';
          }
          break;
        case kCtpValueString:
          if (it.target) static_cast<std::string*>(it.target)->assign(value);
          break;
        case kCtpValueView:
          if (it.target) *static_cast<std::string_view*>(it.target) = value;
          break;
      }
      ++found;
      break;
    }
  }
  return found;
}

int CtpParseHeaders(std::string_view text, CtpRespHeader* out) {
  *out = CtpRespHeader();
  if (text.empty()) return kCtpOk;
  size_t end;
  if (text.size() >= 2 && text[0] == '\r' && text[1] == '\n') {
    out->body_start = 2;
    return kCtpOk;
  }
  end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return kCtpBadHeaders;
  out->body_start = end + 4;
  std::string_view block = text.substr(0, end + 2);
  int lines = 0;
  for (size_t p = 0; (p = FindCrlf(block.data(), block.size(), p)) != std::string_view::npos; p += 2) ++lines;
  if (lines > kCtpMaxHeaderLines) return kCtpBadHeaders;

  // Integers are read as text first so that out-of-range lengths are seen.
  char length_text[32] = {}, retry_text[32] = {}, cseq_text[32] = {};
  CtpNameValueItem items[] = {
      {"Host", kCtpValueText, out->host, kCtpHeaderTextSize, {}},
      {"Content-Length", kCtpValueText, length_text, sizeof(length_text), {}},
      {"Accept-Language", kCtpValueText, out->accept_language, kCtpHeaderTextSize, {}},
      {"Accept-Charset", kCtpValueText, out->accept_charset, kCtpHeaderTextSize, {}},
      {"Content-Type", kCtpValueText, out->content_type, kCtpHeaderTextSize, {}},
      {"Connection", kCtpValueText, out->connection, kCtpHeaderTextSize, {}},
      {"Cookie", kCtpValueText, out->cookie, kCtpHeaderTextSize, {}},
      {"CSeq", kCtpValueText, cseq_text, sizeof(cseq_text), {}},
      {"Session", kCtpValueText, out->session, kCtpHeaderTextSize, {}},
      {"Authorization", kCtpValueText, out->authorization, kCtpHeaderTextSize, {}},
      {"Transport", kCtpValueText, out->transport, kCtpHeaderTextSize, {}},
      {"Transfer-Encoding", kCtpValueText, out->transfer_encoding, kCtpHeaderTextSize, {}},
      {"Retry-After", kCtpValueText, retry_text, sizeof(retry_text), {}},
  };
  CtpParseNameValue(block, items, static_cast<int>(sizeof(items) / sizeof(items[0])), 0);
  long v;
  if (items[1].value.data()) {
    ParseInt(items[1].value, &v);
    if (v < 0) return kCtpBadHeaders;
    out->content_length = v > kCtpMaxBody ? static_cast<int>(kCtpMaxBody + 1) : static_cast<int>(v);
  }
  if (items[12].value.data()) {
    ParseInt(items[12].value, &v);
    out->retry_after = ClampInt(v);
  }
  if (items[7].value.data()) {
    ParseInt(items[7].value, &v);
    out->cseq = ClampInt(v);
  }
  out->keep_alive = strcasecmp(out->connection, "Keep-Alive") == 0;
  out->chunked = strcasecmp(out->transfer_encoding, "chunked") == 0;
  return kCtpOk;
}

namespace {

// Maps a read count that is not positive to a result code.
int ReadFailure(int n) { return n == 0 ? kCtpClosed : n == -2 ? kCtpTimeout : kCtpConnError; }

// Reads more into buffer after *have bytes (keeping one byte for a NUL); the count or a failure (<= 0).
int ReadMore(const CtpReadFn& read, char* buffer, int size, int* have, int timeout_ms) {
  int room = size - 1 - *have;
  if (room <= 0) return -100;
  int n = read(buffer + *have, room, timeout_ms);
  if (n > room) n = -100;
  if (n > 0) *have += n;
  return n;
}

// Hexadecimal chunk size (an extension after ';' is ignored); -1 when malformed or too large.
long ChunkSize(std::string_view line) {
  long v = 0;
  size_t i = 0, digits = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  for (; i < line.size(); ++i) {
    char c = line[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) break;
    if (++digits > 7) return -1;
    v = v * 16 + d;
  }
  if (digits == 0) return -1;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i < line.size() && line[i] != ';') return -1;
  return v;
}

}  // namespace

int CtpParseResponse(const CtpReadFn& read, char* buffer, int size, int received, int timeout_ms,
                     std::string* response, CtpRespHeader* head, CtpBodyCallback body_cb, void* user,
                     int chunk_cb) {
  *head = CtpRespHeader();
  if (received <= 0) return ReadFailure(received);
  if (size < 2 || received > size - 1) return kCtpConnError;
  int have = received;
  size_t line_end;
  int continues = 0;
  int code;
  for (;;) {
    // The status line, read on until its "\r\n" is there.
    while ((line_end = FindCrlf(buffer, static_cast<size_t>(have))) == std::string_view::npos) {
      if (have >= size - 1) return kCtpBadStatus;
      int n = ReadMore(read, buffer, size, &have, timeout_ms);
      if (n <= 0) return n == -100 ? kCtpBadStatus : ReadFailure(n);
    }
    std::string rest;
    code = CtpParseStatusLine(std::string_view(buffer, line_end), "CTP/1.", &rest);
    if (code == kCtpBadStatus) return kCtpBadStatus;
    if (response) *response = rest;
    if (code != 100) break;
    // An interim response: drop its head (read whole) and read the real one.
    if (++continues > kCtpMaxContinues) return kCtpBadStatus;
    size_t drop = line_end + 2;
    for (;;) {
      std::string_view after(buffer + drop, static_cast<size_t>(have) - drop);
      if (after.size() >= 2 && after[0] == '\r' && after[1] == '\n') {
        drop += 2;
        break;
      }
      size_t e = after.find("\r\n\r\n");
      if (e != std::string_view::npos) {
        drop += e + 4;
        break;
      }
      if (have >= size - 1) return kCtpBadHeaders;
      int n = ReadMore(read, buffer, size, &have, timeout_ms);
      if (n <= 0) return n == -100 ? kCtpBadHeaders : ReadFailure(n);
    }
    memmove(buffer, buffer + drop, static_cast<size_t>(have) - drop);
    have -= static_cast<int>(drop);
    if (have == 0) {
      int n = ReadMore(read, buffer, size, &have, timeout_ms);
      if (n <= 0) return ReadFailure(n);
    }
  }
  size_t head_start = line_end + 2;
  // A status line with nothing after it (the peer closed or went quiet) is a response without headers.
  while (static_cast<size_t>(have) < head_start + 2) {
    int n = ReadMore(read, buffer, size, &have, timeout_ms);
    if (n <= 0) {
      if (n == -100) return kCtpBadHeaders;
      if (static_cast<size_t>(have) == head_start && (n == 0 || n == -2))
        return CtpStatusResult(code == kCtpOk ? 200 : code, 0);
      return ReadFailure(n);
    }
  }
  if (buffer[head_start] == '\r' && buffer[head_start + 1] == '\n')
    return CtpStatusResult(code == kCtpOk ? 200 : code, 0);
  // The header block, read on until its blank line is there.
  while (std::string_view(buffer + head_start, static_cast<size_t>(have) - head_start).find("\r\n\r\n") ==
         std::string_view::npos) {
    if (have >= size - 1) return kCtpBadHeaders;
    int n = ReadMore(read, buffer, size, &have, timeout_ms);
    if (n <= 0) return n == -100 ? kCtpBadHeaders : ReadFailure(n);
  }
  if (CtpParseHeaders(std::string_view(buffer + head_start, static_cast<size_t>(have) - head_start), head) != 0)
    return kCtpBadHeaders;
  int result = CtpStatusResult(code == kCtpOk ? 200 : code, head->retry_after);
  if (head->content_length == 0 && !head->chunked) return result;
  if (!body_cb && (head->chunked || head->content_length > size)) return kCtpBodyTooBig;
  if (head->content_length > kCtpMaxBody) return kCtpBodyTooBig;

  size_t body_at = head_start + head->body_start;
  int in_buffer = have - static_cast<int>(body_at);
  if (!head->chunked) {
    int want = head->content_length;
    std::string body;
    int take = in_buffer < want ? in_buffer : want;
    int got = take;
    if (body_cb) {
      if (take > 0) {
        char keep = buffer[body_at + take];
        buffer[body_at + take] = '\0';
        int go = body_cb(buffer + body_at, take, user);
        buffer[body_at + take] = keep;
        if (!go) return result;
      }
    } else {
      body.assign(buffer + body_at, static_cast<size_t>(take));
    }
    int read_ms = timeout_ms < 0 ? timeout_ms : timeout_ms / 2;
    while (got < want) {
      int room = want - got < size - 1 ? want - got : size - 1;
      int n = read(buffer, room, read_ms);
      if (n <= 0) return ReadFailure(n);
      if (n > room) return kCtpConnError;
      got += n;
      if (body_cb) {
        buffer[n] = '\0';
        if (!body_cb(buffer, n, user)) return result;
      } else {
        body.append(buffer, static_cast<size_t>(n));
      }
    }
    if (!body_cb && response) *response = std::move(body);
    return result;
  }

  // Chunked: a hexadecimal size line, that many bytes and "\r\n"; size 0 ends.
  memmove(buffer, buffer + body_at, static_cast<size_t>(in_buffer));
  have = in_buffer;
  for (;;) {
    size_t e;
    while ((e = FindCrlf(buffer, static_cast<size_t>(have))) == std::string_view::npos) {
      if (have >= size - 1) return kCtpBadHeaders;
      int n = ReadMore(read, buffer, size, &have, kCtpChunkReadMs);
      if (n <= 0) return ReadFailure(n);
    }
    long chunk = ChunkSize(std::string_view(buffer, e));
    if (chunk < 0) return kCtpBadHeaders;
    if (chunk == 0) return result;
    if (chunk > size - 3) return kCtpBodyTooBig;
    memmove(buffer, buffer + e + 2, static_cast<size_t>(have) - (e + 2));
    have -= static_cast<int>(e + 2);
    while (have < chunk + 2) {
      int n = ReadMore(read, buffer, size, &have, kCtpChunkReadMs);
      if (n <= 0) return ReadFailure(n);
    }
    if (buffer[chunk] != '\r' || buffer[chunk + 1] != '\n') return kCtpBadHeaders;
    buffer[chunk] = '\0';
    // The data is always NUL-terminated, so both callback shapes are served alike.
    (void)chunk_cb;
    if (!body_cb(buffer, static_cast<int>(chunk), user)) return result;
    size_t used = static_cast<size_t>(chunk) + 2;
    memmove(buffer, buffer + used, static_cast<size_t>(have) - used);
    have -= static_cast<int>(used);
  }
}
