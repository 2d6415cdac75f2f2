// Result codes of the networking kit (TCP/TLS, HTTP, WebSocket, push channel).
#pragma once

enum NetResult {
  kNetOk = 0,
  kNetProtocol = -1,      // malformed or oversized reply
  kNetTimeout = -2,       // time-out (or connect still in progress)
  kNetNoConn = -3,        // no connection, no socket, or a read failed
  kNetResolve = -5,       // host name not resolved
  kNetConnect = -6,       // connect failed
  kNetTls = -7,           // TLS handshake or certificate check failed
  kNetIo = -8,            // read or write error
  kNetWsRefused = -9,     // WebSocket handshake refused
  kNetNotConnected = -10, // push channel has no connection
  kNetRefused = -11,      // connection refused
  kNetBadUrl = -102,      // invalid URL
  kNetFileCreate = -103,  // local file cannot be created
};
