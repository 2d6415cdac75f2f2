// TLS settings of the process: server certificates are checked against the
// system trust store (plus an optional CA file) unless turned off explicitly.
#pragma once

// verify_peer 0 turns certificate and host checks off (a warning is logged now
// and when the TLS context is next made); ca_file adds trusted CAs (null or
// empty: none). Connections opened later use the new settings.
void NetTlsConfigure(int verify_peer, const char* ca_file);

// Reads the settings from a configuration file (INI), section "config":
// tls_verify (default 1; 0 turns verification off) and tls_ca_file (default
// none), and applies them as NetTlsConfigure. The application calls it at
// start with its "/config.ini".
void NetTlsLoadConfig(const char* ini_path);

#include <string>

// 1 when server certificates are verified.
int NetTlsVerifyEnabled();

// The extra CA file given by NetTlsConfigure ("" when none).
std::string NetTlsCaFile();
