// sigsim: the "ovwebrtc2" signalling server's simulator as a program (see signal_server.h).
#include <cjson/cJSON.h>

#include <string>
#include <thread>

#include "tools/camsim/signal_server.h"
#include "tools/common/cli.h"
#include "tools/p2pdev/tool_common.h"

int main(int argc, char** argv) {
  camsim::SignalServerConfig cfg;
  long long port = 0;
  tools::Cli cli("sigsim", "relays \"ovwebrtc2\" signalling between the members of a room, on loopback",
                 "sigsim --port 3580 --room /cam1 --ice '[{\"ip\":\"127.0.0.1\",\"port\":3478,\"is_turn\":0}]'\n"
                 "  camsim ... --webrtc2 ws://127.0.0.1:3580/cam1   (the device's ovwebrtc2 token)");
  cli.Text("--host", "IP", "address to listen on (default 127.0.0.1)", &cfg.host);
  cli.Number("--port", "PORT", "port to listen on (default: any free port, printed)", 0, 65535, &port);
  cli.Value("--room", "PATH", "a room it knows, \"/NAME\"; repeatable (default: every path)",
            [&](const std::string& v) {
              if (v.empty() || v[0] != '/') return std::string("a room is a path starting with /");
              cfg.rooms.insert(v);
              return std::string();
            });
  cli.Value("--ice", "JSON", "the ICE servers handed to members, as an \"ovwebrtc\" relay list",
            [&](const std::string& v) {
              cJSON* j = cJSON_Parse(v.c_str());
              const bool ok = cJSON_IsArray(j);
              cJSON_Delete(j);
              if (!ok) return std::string("--ice takes a JSON array");
              cfg.ice = v;
              return std::string();
            });
  if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
  cfg.port = static_cast<int>(port);
  p2ptool::StopOnSignals();
  camsim::SignalServer server(cfg, [](const std::string& line) { p2ptool::Say("%s", line.c_str()); });
  std::string why;
  if (!server.Start(&why)) {
    std::fprintf(stderr, "sigsim: %s\n", why.c_str());
    return 1;
  }
  p2ptool::Say("sigsim ready port=%d token=%s", server.Port(), server.Token("/ROOM").c_str());
  p2ptool::WatchInput();
  server.Stop();
  return 0;
}
