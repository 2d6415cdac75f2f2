// ctpsim: the CTP/1.0 device server.
#include "tools/ctpsim/ctpsim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <strings.h>

namespace ctpsim {

namespace {

bool Fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

bool Printable(std::string_view s, bool blanks) {
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
    if (!blanks && u == ' ') return false;
  }
  return true;
}

// Decimal digits only, at most max.
bool ParseCount(std::string_view s, size_t max, size_t* out) {
  if (s.empty() || s.size() > 9) return false;
  size_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<size_t>(c - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The option lines of a body: "-name" or "-name value" each ending in "\r\n", then a blank line.
bool ParseOptions(std::string_view body, Request* out, std::string* why) {
  if (body.empty()) return true;
  if (body.size() < 4 || body.substr(body.size() - 4) != "\r\n\r\n") return Fail(why, "body does not end with a blank line");
  std::string_view lines = body.substr(0, body.size() - 2);
  while (!lines.empty()) {
    size_t e = lines.find("\r\n");
    std::string_view line = lines.substr(0, e);
    lines.remove_prefix(e + 2);
    if (line.size() < 2 || line[0] != '-' || line[1] == ' ') return Fail(why, "body line is not an option");
    if (!Printable(line, true)) return Fail(why, "control character in a body line");
    size_t sp = line.find(' ');
    std::string name(line.substr(1, sp == std::string_view::npos ? std::string_view::npos : sp - 1));
    std::string value;
    if (sp != std::string_view::npos) {
      std::string_view v = Trim(line.substr(sp));
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      value.assign(v);
    }
    out->options.emplace_back(std::move(name), std::move(value));
  }
  return true;
}

std::string Option(const Request& r, const char* name, bool* found = nullptr) {
  for (const auto& o : r.options)
    if (o.first == name) {
      if (found) *found = true;
      return o.second;
    }
  if (found) *found = false;
  return "";
}

bool OptionInt(const Request& r, const char* name, long min, long max, long* out) {
  bool found;
  std::string v = Option(r, name, &found);
  if (!found || v.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long x = strtol(v.c_str(), &end, 10);
  if (errno || *end || x < min || x > max) return false;
  *out = x;
  return true;
}

std::string Reply(int code, const char* reason, const std::string& headers, const std::string& body) {
  std::string r = "CTP/1.0 " + std::to_string(code) + " " + reason + "\r\n" + headers;
  if (!body.empty()) r += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  r += "\r\n";
  r += body;
  return r;
}

int Malformed(std::string* why, const char* text) {
  if (why) *why = text;
  return kMalformed;
}

const char kBadRequest[] = "CTP/1.0 400 Bad Request\r\n\r\n";

}  // namespace

int ParseRequest(std::string_view data, Request* out, size_t* used, std::string* why) {
  size_t line_end = data.find("\r\n");
  if (line_end == std::string_view::npos) {
    if (data.size() > 1024) return Malformed(why, "request line too long");
    return kNeedMore;
  }
  std::string_view line = data.substr(0, line_end);
  static constexpr std::string_view kVersion = " CTP/1.0";
  if (line.size() <= 4 + kVersion.size() || line.substr(0, 4) != "CMD " ||
      line.substr(line.size() - kVersion.size()) != kVersion)
    return Malformed(why, "not a CTP/1.0 request line");
  std::string_view name = line.substr(4, line.size() - 4 - kVersion.size());
  if (name.empty() || !Printable(name, false)) return Malformed(why, "bad command name");
  size_t head_end = data.find("\r\n\r\n", line_end);
  if (head_end == std::string_view::npos) {
    if (data.size() > kMaxHead) return Malformed(why, "request head too long");
    return kNeedMore;
  }
  if (head_end + 4 > kMaxHead) return Malformed(why, "request head too long");
  Request r;
  r.name.assign(name);
  size_t content_length = 0;
  bool has_length = false;
  int count = 0;
  std::string_view headers = head_end > line_end ? data.substr(line_end + 2, head_end - line_end) : std::string_view();
  while (!headers.empty()) {
    size_t e = headers.find("\r\n");
    std::string_view h = headers.substr(0, e);
    headers.remove_prefix(e + 2);
    if (++count > kMaxHeaderLines) return Malformed(why, "too many header lines");
    size_t colon = h.find(':');
    if (colon == std::string_view::npos || colon == 0 || !Printable(h, true) ||
        !Printable(h.substr(0, colon), false))
      return Malformed(why, "malformed header line");
    std::string_view key = h.substr(0, colon);
    std::string_view value = Trim(h.substr(colon + 1));
    auto is = [&](const char* k) { return key.size() == strlen(k) && strncasecmp(key.data(), k, key.size()) == 0; };
    if (is("Content-Length")) {
      if (has_length || !ParseCount(value, kMaxBody, &content_length))
        return Malformed(why, "bad Content-Length");
      has_length = true;
    } else if (is("Cookie")) {
      r.cookie.assign(value);
    } else if (is("Host")) {
      r.host.assign(value);
    }
  }
  size_t body_at = head_end + 4;
  if (data.size() < body_at + content_length) return kNeedMore;
  r.body.assign(data.substr(body_at, content_length));
  if (!ParseOptions(r.body, &r, why)) return kMalformed;
  *used = body_at + content_length;
  r.raw.assign(data.substr(0, *used));
  *out = std::move(r);
  return kParsed;
}

Server::Server(Config config) : config_(std::move(config)) {}

Server::~Server() { Stop(); }

void Server::SetPrinter(std::function<void(const std::string&)> printer) {
  std::lock_guard<std::mutex> g(mu_);
  printer_ = std::move(printer);
}

void Server::Print(const std::string& line) {
  std::function<void(const std::string&)> p;
  {
    std::lock_guard<std::mutex> g(mu_);
    p = printer_;
  }
  if (p) p(line);
}

std::vector<std::string> Server::Requests() {
  std::lock_guard<std::mutex> g(mu_);
  return requests_;
}

void Server::ClearRequests() {
  std::lock_guard<std::mutex> g(mu_);
  requests_.clear();
}

bool Server::Start(std::string* why) {
  in_addr addr{};
  if (inet_pton(AF_INET, config_.address.c_str(), &addr) != 1 || (ntohl(addr.s_addr) >> 24) != 127)
    return Fail(why, "the address must be a loopback IPv4 address (127.x.x.x)");
  if (config_.port < 0 || config_.port > 65535) return Fail(why, "port out of range");
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return Fail(why, strerror(errno));
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = addr;
  sa.sin_port = htons(static_cast<uint16_t>(config_.port));
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(listen_fd_, 16) != 0) {
    std::string e = strerror(errno);
    close(listen_fd_);
    listen_fd_ = -1;
    if (why) *why = "cannot listen on " + config_.address + ":" + std::to_string(config_.port) + ": " + e;
    return false;
  }
  socklen_t len = sizeof(sa);
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  stop_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void Server::Stop() {
  if (!acceptor_.joinable()) return;
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
    for (int fd : fds_) shutdown(fd, SHUT_RDWR);
  }
  cv_.notify_all();
  acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> g(mu_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  close(listen_fd_);
  listen_fd_ = -1;
}

void Server::AcceptLoop() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> g(mu_);
    if (stop_ || live_ >= config_.max_connections) {
      close(fd);
      continue;
    }
    ++accepted_;
    ++live_;
    fds_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

bool Server::SendText(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool Server::Pause(int ms) {
  std::unique_lock<std::mutex> lk(mu_);
  return !cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
}

void Server::Serve(int fd) {
  std::string pending;
  char buf[4096];
  bool open = true;
  while (open && !stop_) {
    pollfd p{fd, POLLIN, 0};
    int pr = poll(&p, 1, 50);
    if (pr == 0) continue;
    if (pr < 0 && errno == EINTR) continue;
    ssize_t n = pr < 0 ? -1 : recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    while (open) {
      Request req;
      size_t used = 0;
      std::string why;
      int r = ParseRequest(pending, &req, &used, &why);
      if (r == kNeedMore) break;
      if (r == kMalformed) {
        {
          std::lock_guard<std::mutex> g(mu_);
          requests_.push_back(pending);
        }
        Print("refused: " + why);
        SendText(fd, kBadRequest);
        open = false;
        break;
      }
      pending.erase(0, used);
      {
        std::lock_guard<std::mutex> g(mu_);
        requests_.push_back(req.raw);
      }
      Print("CMD " + req.name + (req.options.empty() ? "" : " (" + std::to_string(req.options.size()) + " options)"));
      open = Answer(fd, req);
    }
  }
  std::lock_guard<std::mutex> g(mu_);
  for (size_t i = 0; i < fds_.size(); ++i)
    if (fds_[i] == fd) {
      fds_.erase(fds_.begin() + static_cast<long>(i));
      break;
    }
  close(fd);
  --live_;
}

bool Server::Answer(int fd, const Request& req) {
  const std::string& c = req.name;
  long v = 0;
  auto echo_body = [&req]() {
    std::string body;
    for (const auto& o : req.options) body += o.first + "=" + o.second + "\r\n";
    if (!req.cookie.empty()) {
      std::string id = req.cookie.rfind("cltid=", 0) == 0 ? req.cookie.substr(6) : req.cookie;
      body += "cltid=" + id + "\r\n";
    }
    if (!req.host.empty()) body += "host=" + req.host + "\r\n";
    return body;
  };
  if (c == "login") {
    if (!config_.password.empty() && Option(req, "pass") != config_.password)
      return SendText(fd, Reply(401, "Unauthorized", "", ""));
    std::string id;
    {
      std::lock_guard<std::mutex> g(mu_);
      id = "cs" + std::to_string(++next_id_);
    }
    return SendText(fd, Reply(200, "OK", "Cookie: " + id + "\r\nConnection: Keep-Alive\r\n", ""));
  }
  if (c == "getinfo") {
    std::string id = req.cookie.rfind("cltid=", 0) == 0 ? req.cookie.substr(6) : req.cookie;
    std::string body = "-model ctpsim\r\n-channels " + std::to_string(config_.channels) + "\r\n-cltid " + id + "\r\n";
    return SendText(fd, Reply(200, "OK", "", body));
  }
  if (c == "echo") return SendText(fd, Reply(200, "OK", "", echo_body()));
  if (c == "ptzctrl") {
    bool has_act = false;
    Option(req, "act", &has_act);
    if (!OptionInt(req, "chn", 0, config_.channels - 1, &v) || !has_act) {
      Print("refused: ptzctrl without a valid -chn or -act");
      return SendText(fd, Reply(400, "Bad Request", "", ""));
    }
    return SendText(fd, Reply(200, "OK", "", echo_body()));
  }
  if (c == "sleep") {
    if (!OptionInt(req, "ms", 0, 10000, &v)) return SendText(fd, Reply(400, "Bad Request", "", ""));
    if (!Pause(static_cast<int>(v))) return false;
    return SendText(fd, Reply(200, "OK", "", ""));
  }
  if (c == "busy") {
    if (!OptionInt(req, "retry", 0, 1000000, &v)) return SendText(fd, Reply(400, "Bad Request", "", ""));
    return SendText(fd, Reply(503, "Service Unavailable", "Retry-After: " + std::to_string(v) + "\r\n", ""));
  }
  if (c == "cont") return SendText(fd, "CTP/1.0 100 Continue\r\n\r\n") && SendText(fd, Reply(200, "OK", "", "done\r\n"));
  if (c == "chunked") {
    if (!OptionInt(req, "n", 0, 1000, &v)) return SendText(fd, Reply(400, "Bad Request", "", ""));
    std::string r = "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (long i = 0; i < v; ++i) {
      std::string line = "line " + std::to_string(i);
      char size[16];
      snprintf(size, sizeof(size), "%zx\r\n", line.size());
      r += size + line + "\r\n";
    }
    r += "0\r\n\r\n";
    return SendText(fd, r);
  }
  if (c == "big") {
    if (!OptionInt(req, "bytes", 0, 1 << 20, &v)) return SendText(fd, Reply(400, "Bad Request", "", ""));
    std::string body(static_cast<size_t>(v), 'b');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    return SendText(fd, Reply(200, "OK", "", body));
  }
  if (c == "cut") {
    std::string full = Reply(200, "OK", "", std::string(64, 'x'));
    if (!OptionInt(req, "bytes", 0, static_cast<long>(full.size()), &v))
      return SendText(fd, Reply(400, "Bad Request", "", ""));
    SendText(fd, full.substr(0, static_cast<size_t>(v)));
    return false;
  }
  if (c == "silent") return true;
  if (c == "bye") return false;
  return SendText(fd, Reply(404, "Not Found", "", ""));
}

}  // namespace ctpsim
