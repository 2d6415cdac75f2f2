// The simulator on free ports with its UDP and TCP relays, and the library
// of this process initialised as its client, for tests and benchmarks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "p2p/rvs_api.h"
#include "p2p/sock.h"
#include "tools/rdvsim/rdvsim.h"
#include "tools/rdvsim/relay.h"

namespace rdvsim {

class Rig {
 public:
  // false with why; the relays listen on relay_ip.
  bool Start(const std::string& key, int alive_sec, std::string* why,
             const std::string& relay_ip = "127.0.0.4") {
    Config c;
    c.udp_port = 0;
    c.tcp_port = 0;
    c.key = key;
    sim = std::make_unique<Server>(c);
    RelayConfig rc;
    rc.key = key;
    rc.ip = relay_ip;
    udp_relay = std::make_unique<UdpRelay>(rc);
    tcp_relay = std::make_unique<TcpRelay>(rc);
    if (!sim->Start(why) || !udp_relay->Start(why) || !tcp_relay->Start(why)) return false;
    sim->AttachRelays(udp_relay.get(), tcp_relay.get());
    RVP_TestSetServerPorts(sim->udp_port(), sim->tcp_port());
    std::string param =
        "{\"InitString\":\"" + sim->InitString() + "\",\"SessAliveSec\":" + std::to_string(alive_sec) + "}";
    if (RVS_Initialize(param.c_str()) != 0) {
      *why = "RVS_Initialize failed";
      return false;
    }
    initialised_ = true;
    return true;
  }
  void Stop() {
    if (initialised_) RVS_DeInitialize();
    initialised_ = false;
    if (sim) sim->Stop();
    if (udp_relay) udp_relay->Stop();
    if (tcp_relay) tcp_relay->Stop();
    RVP_TestSetServerPorts(0, 0);
  }
  ~Rig() { Stop(); }

  // Arguments of rdvsim_device for a device of this simulator.
  std::vector<std::string> DeviceArgs(const std::string& did) const {
    return {"--init",     sim->InitString(),
            "--did",      did,
            "--udp-port", std::to_string(sim->udp_port()),
            "--tcp-port", std::to_string(sim->tcp_port())};
  }

  std::unique_ptr<Server> sim;
  std::unique_ptr<UdpRelay> udp_relay;
  std::unique_ptr<TcpRelay> tcp_relay;

 private:
  bool initialised_ = false;
};

}  // namespace rdvsim
