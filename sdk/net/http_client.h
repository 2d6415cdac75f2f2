// The SDK's own small HTTP/1.1 client: URL parsing, connection reuse, request
// writing and response reading within one time budget.
#pragma once

#include <string>

#include <cstdint>
#include <ctime>

#include "sdk/net/http_parser.h"
#include "sdk/net/tcp_conn.h"

enum HttpScheme { kSchemeHttp = 0, kSchemeHttps = 1, kSchemeWs = 2, kSchemeWss = 3 };
enum HttpMethod { kHttpGet = 0, kHttpPut = 1, kHttpPost = 2, kHttpDelete = 3, kHttpHead = 4, kHttpConnect = 5,
                  kHttpOptions = 6 };

// Sizes of the parts of a URL (with their terminating NUL).
inline constexpr int kUrlHostSize = 96;
inline constexpr int kUrlUserSize = 32;
// The longest request head the writer builds.
inline constexpr int kHttpMaxHead = 2047;
// The largest body kept in memory; a longer one fails with kNetProtocol.
inline constexpr int kHttpMaxMemBody = 32 * 1024 * 1024;

// A response, filled by the reader; released with HttpRespFree.
struct HttpResponse {
  int status;           // 0 before a status line was read
  char* location;       // "Location:" value, or null
  char* body;           // collected body followed by a NUL, or null
  int body_length;
  char* leftover;       // bytes read after the end of the response
  int leftover_length;
  int received;         // bytes read for this response
  int sent;             // bytes of the request that produced it
};

struct HttpRequestOptions;
typedef int (*HttpBodyWriter)(TcpConn* conn, const HttpRequestOptions* options, void* user, int timeout_ms);
typedef void (*HttpHostCb)(const char* name, char* host, int size, void* user);

struct HttpRequestOptions {
  int chunked;                // 1: "Transfer-Encoding: chunked" instead of a length
  int content_type;           // 0 none, 1 form-urlencoded, 2 multipart
  const char* boundary;       // multipart boundary
  const char* user;           // Basic credentials when the URL has none
  const char* password;
  const char* extra_headers;  // lines each ending in "\r\n", written as they are
  HttpBodyWriter body_writer; // sends the body itself
  HttpHostCb host_cb;         // may rewrite the Host text (buffer of kUrlHostSize)
  void* user_value;           // passed to both callbacks
};

// Splits a URL. user and password need kUrlUserSize bytes, host kUrlHostSize.
// 1; 0 for an unknown scheme; kNetBadUrl for a null URL or an over-long or
// malformed part. *path points into url (the empty text when there is none).
// The URL as the log may show it: without query, fragment or user information,
// which can carry tokens and passwords.
std::string UrlForLog(const char* url);

int http_parse_url(const char* url, int* scheme, char* user, char* password, char* host, int* port,
                   const char** path);
// "GET", "PUT", "POST", "DELETE", "HEAD", "CONNECT", "OPTIONS", or "".
const char* HttpMethodName(int method);
// RFC 1123 date of t (UTC); returns the text's length.
int HttpDate(time_t t, char* out, int size);

// Opens conn for scheme/host/port or reuses its open connection; 0 or a code.
int HttpProxyConnect(TcpConn* conn, int scheme, const char* host, int port, int timeout_ms);
// Writes the request head and body: bytes sent, or a negative code (the
// connection is then reset).
int HttpWriteRequest(TcpConn* conn, int method, const char* url, const HttpRequestOptions* options,
                     const void* body, int body_length, int timeout_ms);
// Reads one response: 0, a callback's stop value, or a negative code.
int HttpReadResponse(TcpConn* conn, HttpResponse* response, HttpRespDataCb cb, void* user, int timeout_ms);

// Called with each header's name and value; non-zero stops the reader.
typedef int (*HttpHeaderCb)(const char* name, const char* value, void* user);

struct HttpMemCollector {
  HttpResponse* response;
  HttpHeaderCb header_cb;
  void* user;
  int capacity;
};
struct HttpFileCollector {
  HttpResponse* response;
  const char* path;
  int fd;
  int complete;
  int capacity;
};
int httpRespDataCb_toMem(int event, const char* data, int64_t value, void* collector);
int httpRespDataCb_toFile(int event, const char* data, int64_t value, void* collector);

// Reads a response into memory; on an error the response is freed and the
// connection reset.
int HttpRecvToMem(TcpConn* conn, HttpResponse* response, int timeout_ms, HttpHeaderCb header_cb, void* user);
// Reads a response; a 200 body goes to the file at path (replaced), any other
// body to memory. A body that did not arrive whole leaves no file.
int HttpRecvToFile(TcpConn* conn, const char* path, int timeout_ms, HttpResponse* response);
void HttpRespFree(HttpResponse* response);

// Writes the request and reads its response (skipping "100 Continue") into
// memory, or into local_path when given: 0 or a negative code.
int HttpRequest(int timeout_ms, TcpConn* conn, int method, const char* url, const HttpRequestOptions* options,
                const void* body, int body_length, HttpResponse* response, const char* local_path);
int HttpPost(TcpConn* conn, const char* url, const HttpRequestOptions* options, const void* body, int body_length,
             int timeout_ms, HttpResponse* response);
