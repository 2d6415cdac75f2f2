// Deployment values of the cloud service: its entry points per server environment, the UUID information
// service, the default state servers of low-power devices, request time-outs and TLS checking. Nothing is
// built in: a deployment (or a test, or the simulator's run command) supplies them, usually from the
// "servers" section of a settings file.
#pragma once

#include <string>

#include "sdk/cloud/device_info.h"

// Server environments of COrvelServer::Init; any other index means kEnvProduction.
enum CloudEnvironment { kEnvProduction = 0, kEnvTest = 1, kEnvPreRelease = 2, kEnvCount = 3 };

// Ports of the UUID information service when its configured address names none.
constexpr int kUuidServicePortProduction = 3602;
constexpr int kUuidServicePortTest = 3605;

struct CloudDeployment {
  // Base URL of the service per environment ("https://host[:port][/path]"; http for the test one by custom),
  // without a trailing "/". Empty: that environment cannot be used.
  std::string entry_points[kEnvCount];
  // UUID information service, [0] production and [1] test: "host", "host:port" or "scheme://host[:port]"
  // (http when no scheme is given; the port defaults as above).
  std::string uuid_service[2];
  // Wake-up servers for device records that name none.
  std::string state_servers[kStateServerCount];
  // Limits of every API request: connecting, and the whole request (0 or less: these defaults).
  int connect_timeout_ms = 8000;
  int request_timeout_ms = 20000;
};

// Replaces the process-wide deployment.
void CloudSetDeployment(const CloudDeployment& deployment);
// A copy of the process-wide deployment.
CloudDeployment CloudGetDeployment();

// Reads section "servers" of an INI file into *out; keys that are missing keep the values *out has:
//   production, test, pre_release    entry points
//   uuid_production, uuid_test       UUID information service
//   state_servers                    up to three, separated by ","
//   connect_timeout_ms, request_timeout_ms
// Certificate checks follow the networking kit's TLS settings (NetTlsLoadConfig).
// Returns false when the file has no such section.
bool CloudLoadDeployment(const char* ini_path, CloudDeployment* out);

// The entry point of an environment index (out of range: production).
std::string CloudEntryPoint(const CloudDeployment& deployment, int environment);
// The URL of the UUID information request ("/api/uuid/p2p/info") on the test (test set) or production
// service; empty when that service is not configured.
std::string CloudUuidServiceUrl(const CloudDeployment& deployment, int test);
