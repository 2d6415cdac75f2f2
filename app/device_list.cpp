#include "app/device_list.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "sdk/storage/oss_cacher.h"
#include "util/log.h"

namespace {

std::atomic<bool> g_thumbnail_pass{false};

int VersionDigit(const std::string& text, size_t i) {
  if (i >= text.size()) return 0;  // a short text is read as completed with '0'
  const char c = text[i];
  return c >= '0' && c <= '9' ? c - '0' : 0;
}

struct LoadedArg {
  DeviceListView* view = nullptr;
  int result = 0;
  DeviceNodeList* nodes = nullptr;
};

void RunLoaded(void* p) {
  auto* arg = static_cast<LoadedArg*>(p);
  arg->view->OnDeviceListLoaded(arg->result, arg->nodes);
  ClearDeviceNodes(arg->nodes);  // whatever the view did not take
  delete arg->nodes;
  delete arg;
}

void DropLoaded(void* p) {
  auto* arg = static_cast<LoadedArg*>(p);
  ClearDeviceNodes(arg->nodes);
  delete arg->nodes;
  delete arg;
}

void RunPassDone(void* p) { static_cast<DeviceListView*>(p)->OnThumbnailPassDone(); }

}  // namespace

std::string DeviceVersionText(const std::string& v) {
  char text[48];
  std::snprintf(text, sizeof text, "Ver %d.%d.%d.%d", VersionDigit(v, 0) * 10 + VersionDigit(v, 1),
                VersionDigit(v, 2) * 10 + VersionDigit(v, 3), VersionDigit(v, 4) * 10 + VersionDigit(v, 5),
                VersionDigit(v, 6) * 10 + VersionDigit(v, 7));
  return text;
}

bool IsLowPowerDevice(const DeviceInfo& info) { return info.device_type.find("lp") != std::string::npos; }

std::string DeviceTagText(const DeviceInfo& info) {
  std::string tags;
  if (info.device_type.find("sim") != std::string::npos && info.connect_way == "sim") tags = "4G";
  if (IsLowPowerDevice(info)) tags += tags.empty() ? "LP" : ",LP";
  return tags.empty() ? tags : "[" + tags + "]";
}

bool ShouldPreload(const DeviceInfo& info, size_t device_count, bool enable_preload) {
  return enable_preload && device_count < kDeviceListBusyCount && info.is_online != 0 &&
         !IsLowPowerDevice(info);
}

bool ShouldFetchThumbnail(const DeviceInfo& info, size_t device_count) {
  return !info.id.empty() && device_count < kDeviceListBusyCount;
}

std::string ThumbnailCachePath(const DeviceInfo& info) {
  std::string path;
  if (info.image_path.empty() || !UrlToCachePath(info.image_path, &path)) return std::string();
  return path;
}

void SetThumbnailPassRunning(bool on) { g_thumbnail_pass.store(on); }
bool ThumbnailPassRunning() { return g_thumbnail_pass.load(); }

void RedrawDeviceListItem(void* p) {
  auto* arg = static_cast<DeviceRowArg*>(p);
  if (arg->view) arg->view->RedrawDeviceRow(arg->row);
  delete arg;
}

void FreeDeviceRowArg(void* p) { delete static_cast<DeviceRowArg*>(p); }

void PreloadConnectCallback(DeviceNode* node, int result, void* p) {
  auto* arg = static_cast<DeviceRowArg*>(p);
  if (result != 0) {
    delete arg;
    return;
  }
  if (CP2pClient* client = node->PeekP2pClient()) {
    DeviceFeatures features{};
    client->GetFeatures(&features);
  }
  PostUiInvoke(arg->window, RedrawDeviceListItem, arg, FreeDeviceRowArg);
}

void ThumbnailRefreshPass(const DeviceListJob& job, const std::vector<ThumbnailTask>& tasks,
                          size_t device_count) {
  for (const ThumbnailTask& t : tasks) {
    if (!ThumbnailPassRunning()) break;
    if (t.id.empty() || device_count >= kDeviceListBusyCount || t.local_path.empty()) continue;
    if (!job.download || job.download(t.image_path, t.local_path) != 0) continue;
    PostUiInvoke(job.window, RedrawDeviceListItem, new DeviceRowArg{job.window, job.view, t.row},
                 FreeDeviceRowArg);
  }
}

void GetDeviceListThread(DeviceListJob job) {
  const auto start = std::chrono::steady_clock::now();
  auto* nodes = new DeviceNodeList();
  const int result = job.load ? job.load(nodes) : -1;
  if (result != 0) ClearDeviceNodes(nodes);

  // What the thumbnail pass needs, copied while the nodes are still this thread's.
  std::vector<ThumbnailTask> tasks;
  for (size_t i = 0; i < nodes->size(); ++i) {
    const DeviceInfo& info = (*nodes)[i]->Info();
    tasks.push_back({static_cast<int>(i), info.id, info.image_path, ThumbnailCachePath(info)});
  }
  const size_t count = nodes->size();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  LogPrintf(kLogInfo, nullptr, "GetDeviceListThread", "GetDeviceList: %d devices. takes %d ms\n",
            static_cast<int>(count), static_cast<int>(ms.count()));

  // The rows, preload connects and groups are made by the window, on its thread.
  PostUiInvoke(job.window, RunLoaded, new LoadedArg{job.view, result, nodes}, DropLoaded);

  ThumbnailRefreshPass(job, tasks, count);
  PostUiInvoke(job.window, RunPassDone, job.view, nullptr);
}
