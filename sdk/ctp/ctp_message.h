// CTP/1.0 messages: request heads and option-line bodies are built here, status
// lines, header blocks, name-value lines and whole responses are parsed here.
// Everything works on byte spans with explicit lengths; nothing reads past them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Result codes of the CTP client (other statuses of 100 to 999 pass through).
enum CtpResult {
  kCtpOk = 0,              // status 200
  kCtpTimeout = 1,         // no reply within the time-out
  kCtpBadStatus = 3,       // malformed status line
  kCtpConnError = 10,      // connection error
  kCtpBodyTooBig = 11,     // a body that does not fit the buffer and no body callback
  kCtpClosed = 17,         // the peer closed the connection
  kCtpBadHeaders = 400,    // a header block without its terminating blank line, or a malformed one
  kCtpBadChannel = 1002,   // PTZ channel number out of range
  kCtpBadArgument = 1003,  // an argument that cannot go into a request (blank or line break in a name,
                           // a parameter kind the action does not take)
};

// Bounds on what a peer may send.
constexpr int kCtpMaxHeaderLines = 64;       // lines in one header block
constexpr int kCtpMaxContinues = 8;          // "100" responses before the real one
constexpr long kCtpMaxBody = 16 << 20;       // Content-Length accepted at all (with a body callback)
constexpr int kCtpMaxRetryAfter = 32767;     // retry-after seconds folded into a 503 result
constexpr int kCtpHeaderTextSize = 128;      // texts kept from a header (longer ones are cut)

// Status of a response head after parsing, 503 folded with its retry-after.
inline int CtpStatusResult(int code, int retry_after) {
  if (code == 200) return kCtpOk;
  if (code == 503) {
    if (retry_after < 0) retry_after = 0;
    if (retry_after > kCtpMaxRetryAfter) retry_after = kCtpMaxRetryAfter;
    return 503 + retry_after * 65536;
  }
  return code;
}

// ---- Requests ----

// Writes the request head for command name with a body of body_length bytes (0: none) and extra header
// text (null or empty: none) into out, which holds out_size bytes; the head is terminated by a NUL that is
// not part of it. Returns the end of what it wrote, or null when it does not fit.
char* CtpFormatRequest(char* out, size_t out_size, const char* name, int body_length, const char* extra);

// Exact size of the head CtpFormatRequest writes (without the NUL).
size_t CtpRequestHeadSize(const char* name, int body_length, const char* extra);

// The whole request in a buffer sized to it: head, the "Cookie: cltid=..." line when client_id is given
// (in place of the final blank line, which follows it), then the body.
std::string CtpBuildRequest(const char* name, const char* body, int body_length, const char* extra,
                            const char* client_id);

// True for a command name that can go on a request line: not empty, printable, no blank.
bool CtpValidName(std::string_view name);

// Walks option tokens: "-name" with its value unless the next word begins with "-"; a value is a
// double-quoted text (quotes kept) or a word. The list ends at a word without a leading "-".
struct CtpTokenizer {
  const char* pos;
  const char* end;
};
inline CtpTokenizer CtpTokenizerOver(std::string_view text) { return {text.data(), text.data() + text.size()}; }
// The next token ("-name" or "-name value", one blank between), or false at the end of the list.
bool CtpNextToken(CtpTokenizer* tokenizer, std::string* token);

// Splits "name -opt value ..." into the command name and the body (each token followed by "\r\n", and one
// more "\r\n" when the body is not empty). False for an empty command name.
bool CtpSplitCommandLine(std::string_view line, std::string* name, std::string* body);

// A PTZ action: its number, or a text for actions that are named.
struct CtpPtzAction {
  CtpPtzAction(int n) : number(n) {}  // NOLINT: a number converts on purpose
  CtpPtzAction(const char* t) : text(t) {}  // NOLINT: a name converts on purpose
  int number = -1;
  const char* text = nullptr;
};

// Command lines of "ptzctrl". Each call takes the parameters of one shape and gives kCtpOk and the line,
// or kCtpBadArgument when the action takes another shape (or a text holds a quote or a line break).
// Numbers: actions 0, 17, 19, 21, 23, 25, 27, 37 to 43 (no parameter); 1, 3, 5, 7 (p1, none when 0);
// 30, 31, 35, 36 (p1); 9, 11, 13, 15 (p1,p2); 33 (p1 and the high and low 16 bits of p2, sent as 19);
// any other action or a named one: "p1, p2".
int CtpPtzCommandLine(int channel, CtpPtzAction action, int p1, int p2, std::string* line);
// Actions 29 and 32: a number and a name.
int CtpPtzCommandLine(int channel, CtpPtzAction action, int p1, const char* name, std::string* line);
// Other actions: the parameter is the bytes as numbers joined by ", ".
int CtpPtzCommandLineBytes(int channel, CtpPtzAction action, const uint8_t* bytes, size_t count,
                           std::string* line);
// Other actions: the parameter is a text.
int CtpPtzCommandLineText(int channel, CtpPtzAction action, const char* text, std::string* line);

// ---- Responses ----

// Reads a status line (without its "\r\n"): prefix, one version digit, one character, a decimal code of
// 100 to 999. 0 for 200, the code otherwise, or kCtpBadStatus. The rest of the line after the code goes
// to *rest when given.
int CtpParseStatusLine(std::string_view line, const char* prefix, std::string* rest);

// Value types of a name-value item.
enum CtpValueType {
  kCtpValueInt = 1,     // strtol with base 0 into *(int*)target, or into size when there is no target
  kCtpValueText = 2,    // copied into the char[size] at target, cut to size - 1
  kCtpValueString = 3,  // assigned to the std::string at target
  kCtpValueView = 4,    // *(std::string_view*)target points into the parsed text
};

struct CtpNameValueItem {
  const char* name;      // a leading "-" is ignored
  int type;              // CtpValueType
  void* target;          // or null
  int size;              // buffer size (text) or the integer itself without target
  std::string_view value;  // the value found in the parsed text (empty data when absent)
};

// Flags of CtpParseNameValue.
enum { kCtpNvCase = 1, kCtpNvKeep = 2, kCtpNvNulLines = 4 };

// Parses lines (up to "\r\n", or NUL-separated with kCtpNvNulLines; an empty line ends) of "name value",
// "name: value" or "name=value" into the items. Targets are cleared first unless kCtpNvKeep. Returns the
// number of lines whose name was recognised.
int CtpParseNameValue(std::string_view text, CtpNameValueItem* items, int count, int flags);

// What a response head says.
struct CtpRespHeader {
  int content_length = 0;
  int retry_after = 0;
  int cseq = 0;
  bool keep_alive = false;
  bool chunked = false;
  size_t body_start = 0;  // offset of the body in the parsed text
  char cookie[kCtpHeaderTextSize] = {};
  char host[kCtpHeaderTextSize] = {};
  char accept_language[kCtpHeaderTextSize] = {};
  char accept_charset[kCtpHeaderTextSize] = {};
  char content_type[kCtpHeaderTextSize] = {};
  char connection[kCtpHeaderTextSize] = {};
  char session[kCtpHeaderTextSize] = {};
  char authorization[kCtpHeaderTextSize] = {};
  char transport[kCtpHeaderTextSize] = {};
  char transfer_encoding[kCtpHeaderTextSize] = {};
};

// Parses the header block that follows a status line (text up to the end of what was received). An empty
// text has no headers. Otherwise the block must end with a blank line, hold at most kCtpMaxHeaderLines
// lines and no negative Content-Length (one above kCtpMaxBody is kept as kCtpMaxBody + 1). 0 or
// kCtpBadHeaders.
int CtpParseHeaders(std::string_view text, CtpRespHeader* out);

// Reads further bytes of a response: up to size bytes within timeout_ms; the count, 0 when the peer
// closed, -2 when nothing came in time, another negative number on failure.
using CtpReadFn = std::function<int(char* buffer, int size, int timeout_ms)>;

// Receives a piece of the body (or a line, or a chunk), NUL-terminated, with its length; 0 stops reading.
using CtpBodyCallback = int (*)(const char* data, int length, void* user);

// Time-out of each further read of a chunked body.
constexpr int kCtpChunkReadMs = 4000;

// Reads one response whose first `received` bytes are in buffer (size bytes; a count of -2 is a time-out,
// another negative count a failure, 0 a closed peer), reading more through read with timeout_ms. The
// status line's rest, or the whole body when there is one and no callback, goes to *response; the head to
// *head. Returns the result code (see CtpResult and CtpStatusResult).
int CtpParseResponse(const CtpReadFn& read, char* buffer, int size, int received, int timeout_ms,
                     std::string* response, CtpRespHeader* head, CtpBodyCallback body_cb, void* user,
                     int chunk_cb);
