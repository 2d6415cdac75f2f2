// The UUID information request: a device's P2P init string, id and password by its UUID.
#include <cjson/cJSON.h>

#include <cstring>
#include <string>

#include "sdk/cloud/cloud_config.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/net/http_client.h"
#include "util/json_holder.h"
#include "util/log.h"

namespace {

constexpr int kUuidTimeoutMs = 2000;

}  // namespace

int QueryUuidP2pInfo(const char* uuid, int test, std::string* init_string, std::string* p2p_id,
                     std::string* p2p_password) {
  static const char kTag[] = "QueryUuidP2pInfo";
  std::string url = CloudUuidServiceUrl(CloudGetDeployment(), test);
  if (url.empty()) {
    LogPrintf(kLogError, nullptr, kTag, "no UUID information service configured\n");
    return -102;
  }
  // {"uuid":"<uuid>" }, the UUID escaped as a JSON text.
  JsonHolder text(cJSON_CreateString(uuid ? uuid : ""), false);
  char* quoted = cJSON_PrintUnformatted(text.Item());
  if (!quoted) return kCloudErrorReply;
  std::string body = std::string("{\"uuid\":") + quoted + " }";
  cJSON_free(quoted);

  HttpRequestOptions options{};
  options.extra_headers = "Content-Type: application/json;charset=utf-8\r\n";
  TcpConn conn;
  TcpConnInit(&conn);
  HttpResponse response{};
  int result = HttpPost(&conn, url.c_str(), &options, body.data(), static_cast<int>(body.size()),
                        kUuidTimeoutMs, &response);
  if (result == 0) {
    JsonHolder reply(response.body ? cJSON_ParseWithLength(response.body, response.body_length) : nullptr,
                     false);
    JsonHolder ok = reply.Get("ok");
    JsonHolder data = reply.Get("data");
    JsonHolder init(cJSON_Parse(data.Get("initStr").AsString()), false);
    const char* app = init.Get("app").AsStringOrNull();
    if (!cJSON_IsNumber(ok.Item()) || ok.Item()->valuedouble != 1 || data.Type() != JsonHolder::kObject ||
        !app) {
      LogPrintf(kLogError, nullptr, kTag, "status %d: unusable reply\n", response.status);
      result = kCloudUuidBadReply;
    } else {
      const char* colon = std::strchr(app, ':');
      *init_string = colon ? colon + 1 : app;
      *p2p_id = data.Get("p2p_id").AsString();
      *p2p_password = data.Get("p2p_password").AsString();
    }
  } else {
    LogPrintf(kLogError, nullptr, kTag, "%s: %d\n", url.c_str(), result);
  }
  HttpRespFree(&response);
  TcpConnReset(&conn);
  return result;
}
