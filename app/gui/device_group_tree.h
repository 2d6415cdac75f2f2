// The user's device groups: a tab-indented text file of groups ("+name") and device UUIDs, shown and edited
// in a tree control.
#pragma once

#include <QIcon>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/cloud/device_info.h"

class QTreeWidget;
class QTreeWidgetItem;

// One meaningful line of a groups file.
struct GroupFileLine {
  int depth = 0;  // blanks and tabs before the first other character
  bool group = false;
  std::string text;  // group name or device uuid
  int parent = -1;   // index of the group line it belongs under, -1 the root
};

// The lines of a groups file with their nesting (lines of at most 255 characters; longer ones in pieces).
std::vector<GroupFileLine> ParseGroupFile(std::string_view text);
// A login name made safe as part of a file name: letters, digits, '.', '-', '_' and '@' kept, anything else
// '_', no leading '.', at most 64 characters, "_" for an empty name.
std::string SanitizeGroupFileUser(const std::string& login);

class CDeviceGroupTree {
 public:
  // The file is "<login>-group.txt" in folder (the application-data folder); old_folder is where earlier
  // versions kept it (the current folder), read when the new file does not exist yet.
  CDeviceGroupTree(const std::string& login, QTreeWidget* tree, const std::string& folder,
                   const std::string& old_folder = ".");
  ~CDeviceGroupTree();

  struct ItemData {
    int kind = 0;  // 0 group, 1 device
    QTreeWidgetItem* item = nullptr;
    DeviceInfo* device = nullptr;
  };

  void LoadGroupFile(const std::vector<DeviceInfo*>& devices);
  // False when the file cannot be created (nothing written).
  bool SaveGroupFile();
  ItemData* AddGroup(QTreeWidgetItem* parent, const QString& name);
  bool MoveDevice(QTreeWidgetItem* device_item, QTreeWidgetItem* new_parent);
  void DeleteGroup(QTreeWidgetItem* group);
  void ClearItemData();
  static int GetItemDepth(const QTreeWidgetItem* item);
  // Pre-order from item through its children and its following siblings; stops when fn returns 0.
  using WalkFn = int (*)(QTreeWidgetItem* item, void* context);
  static int WalkItems(QTreeWidgetItem* item, QTreeWidget* tree, WalkFn fn, void* context);

  static ItemData* DataOf(const QTreeWidgetItem* item);
  // Images: 0 group, 1 offline device, 2 online device.
  void SetImages(const QIcon& group, const QIcon& offline, const QIcon& online);
  const std::string& file_name() const { return file_; }
  size_t item_data_count() const { return data_.size(); }

 private:
  QTreeWidgetItem* InsertSorted(QTreeWidgetItem* parent, QTreeWidgetItem* item);
  QTreeWidgetItem* MakeDeviceItem(ItemData* data);
  void DropData(ItemData* data);

  QTreeWidget* tree_;
  std::string file_;
  std::string old_file_;
  std::vector<std::unique_ptr<ItemData>> data_;
  QIcon images_[3];
};
