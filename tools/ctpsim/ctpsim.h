// ctpsim: a device's CTP/1.0 command server, run in-process by tests or as a
// program. It answers the commands below and refuses a malformed request with
// "CTP/1.0 400 Bad Request", then closes the connection as a device does.
//
// Commands (options as "-name value" body lines):
//   login [-user U] [-pass P]  200 with "Cookie: <client id>" (401 on a wrong password, when one is set)
//   getinfo                    200 with a body of "-model", "-channels" and "-cltid" lines
//   echo [...]                 200 with a body of "name=value" lines: the options, then "cltid" and
//                              "host" when the request carried them
//   ptzctrl -chn C -act A ...  like echo; 400 when -chn is not 0 to channels - 1 or -act is missing
//   sleep -ms N                200 after N ms (at most 10000)
//   busy -retry S              503 with "Retry-After: S"
//   cont                       "100 Continue", then 200
//   chunked -n K               200 with a chunked body of K lines "line <i>"
//   big -bytes N               200 with an N-byte body (at most 1 MiB)
//   cut -bytes N               the first N bytes of a 200 reply with a 64-byte body, then close
//   silent                     no reply
//   bye                        closes without a reply
// Anything else: 404 Not Found.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ctpsim {

// Bounds of a request.
constexpr size_t kMaxHead = 8192;
constexpr int kMaxHeaderLines = 32;
constexpr size_t kMaxBody = 65536;

struct Request {
  std::string name;
  std::string cookie;   // the "Cookie" header's value
  std::string host;     // the "Host" header's value
  std::string body;
  std::vector<std::pair<std::string, std::string>> options;  // the body's option lines, "-" dropped
  std::string raw;      // the request's bytes
};

enum ParseResult { kNeedMore = 0, kParsed = 1, kMalformed = -1 };

// Parses one request from the front of data: kParsed with *out and *used, kNeedMore, or kMalformed (with
// the reason in *why when given).
int ParseRequest(std::string_view data, Request* out, size_t* used, std::string* why = nullptr);

struct Config {
  std::string address = "127.0.0.1";  // loopback only
  int port = 0;                       // 0: an ephemeral port
  int channels = 4;
  std::string password;               // login's -pass must match when not empty
  int max_connections = 16;
};

class Server {
 public:
  explicit Server(Config config = Config());
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens and starts accepting; false with the reason in *why.
  bool Start(std::string* why);
  void Stop();
  int port() const { return port_; }

  // Each request's first line (and each refusal) is handed to the printer.
  void SetPrinter(std::function<void(const std::string&)> printer);
  // Every request received so far, in order (refused ones included, as far as they came).
  std::vector<std::string> Requests();
  void ClearRequests();
  // Connections accepted so far.
  int Accepted() const { return accepted_.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);
  // Answers one request; false when the connection is to close.
  bool Answer(int fd, const Request& req);
  bool SendText(int fd, const std::string& text);
  // Waits ms or until Stop; false when stopped.
  bool Pause(int ms);
  void Print(const std::string& line);

  Config config_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::thread> workers_;
  std::vector<int> fds_;  // open connections, under mu_
  int live_ = 0;          // connections being served, under mu_
  int next_id_ = 0;
  std::vector<std::string> requests_;
  std::function<void(const std::string&)> printer_;
};

}  // namespace ctpsim
