// TEMPORARY: stand-ins for the networking kit (libcurl loading step, push channel client, HTTP client) until
// sdk/net lands; removed with the merge.
#pragma once

#include <curl/curl.h>

struct CurlApi {
  CURLcode (*global_init)(long flags);
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
  CURLcode (*easy_perform)(CURL* handle);
  void (*easy_cleanup)(CURL* handle);
  CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
  void (*easy_reset)(CURL* handle);
  struct curl_slist* (*slist_append)(struct curl_slist* list, const char* text);
  void (*slist_free_all)(struct curl_slist* list);
};

inline const CurlApi* CurlEntryPoints() {
  static const CurlApi api = {curl_global_init,  curl_easy_init,    curl_easy_setopt,
                              curl_easy_perform, curl_easy_cleanup, curl_easy_getinfo,
                              curl_easy_reset,   curl_slist_append, curl_slist_free_all};
  return &api;
}
inline int LoadCurl() {
  static int once = (curl_global_init(CURL_GLOBAL_DEFAULT), 0);
  return once;
}
inline void UnloadCurl() {}

struct SockioClient;
enum SockioEvent { kSockioMessage = 0 };
typedef int (*SockioCallback)(SockioClient* client, int event, char* text, int value, void* user);
inline SockioClient* SockioCltCreate(const char*, SockioCallback, void*) { return nullptr; }
inline void SockioCltDestroy(SockioClient*) {}

struct TcpConn {
  int socket;
  void* tls;
  char host[96];
  int port;
};
struct HttpResponse {
  int status;
  char* location;
  char* body;
  int body_length;
  char* leftover;
  int leftover_length;
  int received;
  int sent;
};
struct HttpRequestOptions {
  int chunked;
  int content_type;
  const char* boundary;
  const char* user;
  const char* password;
  const char* extra_headers;
  void* body_writer;
  void* host_cb;
  void* user_value;
};
inline void TcpConnInit(TcpConn* c) { c->socket = -1; }
inline void TcpConnReset(TcpConn*) {}
inline void HttpRespFree(HttpResponse*) {}
inline int HttpPost(TcpConn*, const char*, const HttpRequestOptions*, const void*, int, int,
                    HttpResponse* r) {
  *r = HttpResponse();
  return -3;
}
