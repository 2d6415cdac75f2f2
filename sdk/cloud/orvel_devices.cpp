// The paged device-list request of COrvelServer.
#include <cjson/cJSON.h>

#include "sdk/cloud/cloud_config.h"
#include "sdk/cloud/orvel_server.h"
#include "util/log.h"

int COrvelServer::QueryDeviceList(std::vector<DeviceInfo>* out, const char* device_id) {
  static const char kTag[] = "COrvelServer::QueryDeviceList";
  out->clear();
  CloudDeployment deployment = CloudGetDeployment();
  const std::string url = ApiBase() + "/app/v1/device/list";
  // The first reply's total; -1 when it gave none or a negative one: that page is then all there is.
  int64_t total = 0;
  bool have_total = false;
  int64_t filled = 0;
  int replies_without_data = 0;
  // Each page is asked for at most kDeviceListMaxEmptyReplies times, so the loop ends.
  for (int page = 1; page <= kDeviceListMaxPages;) {
    JsonHolder body = JsonHolder::Create(JsonHolder::kObject);
    cJSON_AddNumberToObject(body.Item(), "page", page);
    cJSON_AddStringToObject(body.Item(), "limit", std::to_string(kDeviceListLimit).c_str());
    cJSON_AddStringToObject(body.Item(), "platform", "pc");
    if (device_id) cJSON_AddStringToObject(body.Item(), "device_id", device_id);
    JsonHolder data;
    int result = PostWithToken(url.c_str(), body.Item(), &data);
    if (result != 0) return result;
    if (data.Type() != JsonHolder::kObject) {
      // The same page again; a few times at most.
      if (++replies_without_data < kDeviceListMaxEmptyReplies) continue;
      if (!have_total) {
        LogPrintf(kLogError, nullptr, kTag, "%d replies without data\n", replies_without_data);
        return kCloudBadReply;
      }
      LogPrintf(kLogWarning, nullptr, kTag, "page %d: %d replies without data, %d devices listed\n", page,
                replies_without_data, static_cast<int>(out->size()));
      return 0;
    }
    replies_without_data = 0;
    ++page;
    if (!have_total) {
      have_total = true;
      JsonHolder t = data.Get("total");
      int type = t.Type();
      total = (type == JsonHolder::kNumber || type == JsonHolder::kString) ? t.AsInt() : -1;
      if (total < 0) total = -1;
    }
    JsonHolder list = data.Get("list");
    int n = list.Type() == JsonHolder::kArray ? list.Size() : 0;
    for (int i = 0; i < n; ++i) {
      if (total >= 0 && filled + i >= total) break;  // beyond the total
      JsonHolder e = list.At(i);
      if (e.Type() != JsonHolder::kObject) continue;  // no blank records
      DeviceInfo info;
      DeviceInfoFromJson(e.Item(), deployment.state_servers, &info);
      out->push_back(std::move(info));
    }
    filled += n;
    if (n == 0 || total < 0 || filled >= total) return 0;
  }
  LogPrintf(kLogWarning, nullptr, kTag, "stopped after %d pages (%d devices)\n", kDeviceListMaxPages,
            static_cast<int>(out->size()));
  return 0;
}

int COrvelServer::GetDeviceInfo(const char* device_id, DeviceInfo* out) {
  std::vector<DeviceInfo> list;
  int result = QueryDeviceList(&list, device_id);
  if (result != 0) return result;
  if (list.empty()) {
    LogPrintf(kLogError, nullptr, "COrvelServer::GetDeviceInfo", "device %s not listed\n",
              device_id ? device_id : "");
    return kCloudBadReply;
  }
  *out = list.front();
  return 0;
}
