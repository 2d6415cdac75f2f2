// Starts tools/cloudsim on loopback for one test with a fixture folder, talks to its control listener, and
// stops it at the end (also when the test fails; the simulator also ends when our end of its stdin closes).
#pragma once

#include <string>
#include <vector>

#include "sdk/cloud/cloud_config.h"
#include "util/json_holder.h"
#include "tests/sdk/net/net_test_util.h"

class CloudSim {
 public:
  struct Options {
    bool https = false;  // also serve https with a certificate for 127.0.0.1 from a throw-away CA
    std::vector<std::string> storage;  // "NAME=HOST:PORT": "%NAME%" in storage credentials becomes HOST:PORT
  };

  CloudSim() = default;
  ~CloudSim() { Stop(); }
  CloudSim(const CloudSim&) = delete;
  CloudSim& operator=(const CloudSim&) = delete;

  // Starts the simulator on fixture (a folder under tests/sdk/cloud/data); false after 20 s without it.
  bool Start(const std::string& fixture, Options options);
  bool Start(const std::string& fixture) { return Start(fixture, Options()); }
  void Stop() { process_.Stop(); }

  int http_port() const { return http_port_; }
  int https_port() const { return https_port_; }
  std::string HttpBase() const { return "http://127.0.0.1:" + std::to_string(http_port_); }
  std::string HttpsBase() const { return "https://127.0.0.1:" + std::to_string(https_port_); }
  // The throw-away CA's certificate (https only).
  const std::string& ca_file() const { return ca_.ca_cert; }

  // A deployment whose test environment (and production, unless https) is this simulator over http, whose
  // production environment is https when enabled, and whose UUID services are this simulator.
  CloudDeployment Deployment() const;

  // POSTs body (JSON text) to the control listener's path; the parsed reply (no item on failure).
  JsonHolder Control(const std::string& path, const std::string& body = "{}") const;
  // The API requests received so far (the "requests" array of the control listener).
  JsonHolder Requests() const;
  // Queues a failure for an API path (see tools/cloudsim/README.md).
  void Fail(const std::string& path, const std::string& failure_json) const;

 private:
  nettest::PeerProcess process_;
  nettest::TempDir dir_;
  nettest::TestCa ca_;
  int http_port_ = 0;
  int https_port_ = 0;
  int control_port_ = 0;
};

// Path of a fixture folder of these tests.
std::string CloudFixture(const std::string& name);
