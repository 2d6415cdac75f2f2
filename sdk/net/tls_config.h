// TLS settings of the process: server certificates are checked against the
// system trust store (plus an optional CA file) unless turned off explicitly.
#pragma once

// verify_peer 0 turns certificate and host checks off (a warning is logged now
// and when the TLS context is next made); ca_file adds trusted CAs (null or
// empty: none). Connections opened later use the new settings.
void NetTlsConfigure(int verify_peer, const char* ca_file);

// 1 when server certificates are verified.
int NetTlsVerifyEnabled();
