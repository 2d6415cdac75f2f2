// Loading the account's devices in the background: GetDeviceListThread loads the device nodes, hands them
// to the main window (rows, preload connects and groups are made there, on the GUI thread), then downloads
// each device's thumbnail. Every update reaches the GUI thread as a posted WM_UI_INVOKE, dropped when the
// window is gone. Also the texts of a device row.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "app/ui/window_registry.h"
#include "sdk/node/device_node.h"

// Accounts with this many devices or more get neither preload connects nor thumbnails.
constexpr size_t kDeviceListBusyCount = 24;

// "Ver %d.%d.%d.%d" from characters 0-1, 2-3, 4-5 and 6-7 of current_version (each character minus '0');
// a text shorter than eight characters counts as completed with '0', a character that is no digit as 0.
std::string DeviceVersionText(const std::string& current_version);
// The tag line: "4G" for a cellular device on its SIM card, "LP" for a low-power one, joined by ',' and
// bracketed ("[4G,LP]"); empty without tags.
std::string DeviceTagText(const DeviceInfo& info);
// device_type contains "lp".
bool IsLowPowerDevice(const DeviceInfo& info);
// A preload connect: enabled, fewer than 24 devices, online and not low power.
bool ShouldPreload(const DeviceInfo& info, size_t device_count, bool enable_preload);
// A thumbnail download: a device of the service (an id) in an account of fewer than 24 devices.
bool ShouldFetchThumbnail(const DeviceInfo& info, size_t device_count);
// The local cache file of a device's thumbnail; empty when its image path names none.
std::string ThumbnailCachePath(const DeviceInfo& info);

// The thumbnail pass goes on while this process-wide flag is set; the main window sets it before it starts
// the device-list thread and clears it when it closes.
void SetThumbnailPassRunning(bool on);
bool ThumbnailPassRunning();

// What the device-list thread tells the main window; every call runs on the GUI thread.
class DeviceListView {
 public:
  virtual ~DeviceListView() = default;
  // The load ended with result (0 success); the view takes the nodes (empty on failure).
  virtual void OnDeviceListLoaded(int result, DeviceNodeList* nodes) = 0;
  // Row row shows something new (a thumbnail, a connected session).
  virtual void RedrawDeviceRow(int row) = 0;
  // The thumbnail pass is over.
  virtual void OnThumbnailPassDone() = 0;
};

// One run of the device-list thread.
struct DeviceListJob {
  HWND window = 0;                 // the window the updates are posted to
  DeviceListView* view = nullptr;  // that window's view; used only on the GUI thread, while it lives
  // Fills the list from the service (LoadDeviceNodes).
  std::function<int(DeviceNodeList* nodes)> load;
  // Downloads a thumbnail to a local file (DownloadUrlToFile); 0 on success.
  std::function<int(const std::string& url, const std::string& path)> download;
};

// The thread's function: load, hand over, thumbnail pass.
void GetDeviceListThread(DeviceListJob job);
// The pass over the devices' thumbnails: (row, device) pairs copied before the nodes were handed over.
struct ThumbnailTask {
  int row = 0;
  std::string id;
  std::string image_path;
  std::string local_path;
};
void ThumbnailRefreshPass(const DeviceListJob& job, const std::vector<ThumbnailTask>& tasks,
                          size_t device_count);

// The heap argument of a row redraw: freed by RedrawDeviceListItem (or FreeDeviceRowArg when the post is
// dropped or the connect failed).
struct DeviceRowArg {
  HWND window = 0;
  DeviceListView* view = nullptr;
  int row = 0;
};
void RedrawDeviceListItem(void* arg);
void FreeDeviceRowArg(void* arg);
// The DeviceConnectCallback of preload connects (argument a DeviceRowArg), on the node's connect thread.
void PreloadConnectCallback(DeviceNode* node, int result, void* arg);
