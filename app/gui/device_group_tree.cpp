#include "app/gui/device_group_tree.h"

#include <QTreeWidget>
#include <cstdio>

#include "app/settings.h"

namespace {

constexpr size_t kGroupLineMax = 255;
constexpr int kImageRole = Qt::UserRole + 1;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

QString DeviceLabel(const DeviceInfo& d) {
  std::string name = Utf8ToLocal(d.name.data(), d.name.size());
  return QString::fromStdString(name) + QLatin1Char('(') + QString::fromStdString(d.uuid) + QLatin1Char(')');
}

QTreeWidgetItem* ParentOf(QTreeWidgetItem* item) { return item ? item->parent() : nullptr; }

}  // namespace

std::vector<GroupFileLine> ParseGroupFile(std::string_view text) {
  std::vector<GroupFileLine> lines;
  // The nesting as the tree builds it: the current group line and its depth in the tree.
  std::vector<int> depth_of;  // tree depth of each group line, by line index
  int current = -1, current_depth = -1;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = pos;
    while (end < text.size() && end - pos < kGroupLineMax) {
      if (text[end++] == '\n') break;
    }
    std::string_view line = text.substr(pos, end - pos);
    pos = end;
    line = line.substr(0, line.find('\0'));
    int depth = 0;
    while (depth < static_cast<int>(line.size()) && (line[depth] == ' ' || line[depth] == '\t')) ++depth;
    line.remove_prefix(depth);
    while (!line.empty() && IsSpace(line.back())) line.remove_suffix(1);
    if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '\r' || line[0] == '\n') continue;
    if (current_depth >= depth) {
      while (current >= 0 && depth_of[current] >= depth) current = lines[current].parent;
      current_depth = depth - 1;
    }
    GroupFileLine g;
    g.depth = depth;
    g.parent = current;
    g.group = line[0] == '+';
    g.text = std::string(g.group ? line.substr(1) : line);
    int tree_depth = current < 0 ? 0 : depth_of[current] + 1;
    lines.push_back(std::move(g));
    depth_of.push_back(tree_depth);
    if (lines.back().group) {
      current = static_cast<int>(lines.size()) - 1;
      ++current_depth;
    }
  }
  return lines;
}

std::string SanitizeGroupFileUser(const std::string& login) {
  std::string out;
  for (char c : login) {
    if (out.size() >= 64) break;
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                c == '-' || c == '_' || c == '@';
    out += keep ? c : '_';
  }
  if (out.empty()) out.push_back('_');
  if (out[0] == '.') out[0] = '_';
  return out;
}

CDeviceGroupTree::CDeviceGroupTree(const std::string& login, QTreeWidget* tree, const std::string& folder,
                                   const std::string& old_folder)
    : tree_(tree) {
  std::string name = SanitizeGroupFileUser(login) + "-group.txt";
  file_ = (folder.empty() ? std::string(".") : folder) + "/" + name;
  old_file_ = (old_folder.empty() ? std::string(".") : old_folder) + "/" + name;
}

CDeviceGroupTree::~CDeviceGroupTree() { ClearItemData(); }

void CDeviceGroupTree::SetImages(const QIcon& group, const QIcon& offline, const QIcon& online) {
  images_[0] = group;
  images_[1] = offline;
  images_[2] = online;
}

CDeviceGroupTree::ItemData* CDeviceGroupTree::DataOf(const QTreeWidgetItem* item) {
  if (!item) return nullptr;
  return static_cast<ItemData*>(item->data(0, Qt::UserRole).value<void*>());
}

void CDeviceGroupTree::ClearItemData() {
  data_.clear();
  // Items still in the tree must not point to freed records.
  if (tree_) {
    std::vector<QTreeWidgetItem*> stack;
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) stack.push_back(tree_->topLevelItem(i));
    while (!stack.empty()) {
      QTreeWidgetItem* it = stack.back();
      stack.pop_back();
      it->setData(0, Qt::UserRole, QVariant());
      for (int i = 0; i < it->childCount(); ++i) stack.push_back(it->child(i));
    }
  }
}

void CDeviceGroupTree::DropData(ItemData* data) {
  for (auto it = data_.begin(); it != data_.end(); ++it)
    if (it->get() == data) {
      data_.erase(it);
      return;
    }
}

QTreeWidgetItem* CDeviceGroupTree::InsertSorted(QTreeWidgetItem* parent, QTreeWidgetItem* item) {
  int count = parent ? parent->childCount() : tree_->topLevelItemCount();
  int at = count;
  for (int i = 0; i < count; ++i) {
    QTreeWidgetItem* sib = parent ? parent->child(i) : tree_->topLevelItem(i);
    if (QString::compare(item->text(0), sib->text(0), Qt::CaseInsensitive) < 0) {
      at = i;
      break;
    }
  }
  if (parent)
    parent->insertChild(at, item);
  else
    tree_->insertTopLevelItem(at, item);
  return item;
}

QTreeWidgetItem* CDeviceGroupTree::MakeDeviceItem(ItemData* data) {
  auto* item = new QTreeWidgetItem;
  int image = data->device->is_online ? 2 : 1;
  item->setText(0, DeviceLabel(*data->device));
  item->setIcon(0, images_[image]);
  item->setData(0, kImageRole, image);
  item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(data)));
  data->item = item;
  return item;
}

CDeviceGroupTree::ItemData* CDeviceGroupTree::AddGroup(QTreeWidgetItem* parent, const QString& name) {
  if (!tree_) return nullptr;
  auto data = std::make_unique<ItemData>();
  auto* item = new QTreeWidgetItem;
  item->setText(0, name);
  item->setIcon(0, images_[0]);
  item->setData(0, kImageRole, 0);
  item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(data.get())));
  data->item = item;
  InsertSorted(parent, item);
  if (parent) parent->setExpanded(true);
  data_.push_back(std::move(data));
  return data_.back().get();
}

bool CDeviceGroupTree::MoveDevice(QTreeWidgetItem* device_item, QTreeWidgetItem* new_parent) {
  ItemData* data = DataOf(device_item);
  if (!data || data->kind != 1 || device_item == new_parent) return false;
  delete device_item;
  InsertSorted(new_parent, MakeDeviceItem(data));
  if (new_parent) new_parent->setExpanded(true);
  return true;
}

void CDeviceGroupTree::DeleteGroup(QTreeWidgetItem* group) {
  ItemData* gdata = DataOf(group);
  if (!gdata || gdata->kind != 0) return;
  std::vector<QTreeWidgetItem*> devices;
  std::vector<QTreeWidgetItem*> stack;
  for (int i = 0; i < group->childCount(); ++i) stack.push_back(group->child(i));
  while (!stack.empty()) {
    QTreeWidgetItem* it = stack.back();
    stack.pop_back();
    ItemData* d = DataOf(it);
    if (d && d->kind == 1) {
      devices.push_back(it);
      continue;
    }
    if (d) {
      it->setData(0, Qt::UserRole, QVariant());
      DropData(d);
    }
    for (int i = 0; i < it->childCount(); ++i) stack.push_back(it->child(i));
  }
  QTreeWidgetItem* parent = ParentOf(group);
  for (QTreeWidgetItem* d : devices) MoveDevice(d, parent);
  DropData(gdata);
  delete group;
}

int CDeviceGroupTree::GetItemDepth(const QTreeWidgetItem* item) {
  if (!item) return -1;
  int depth = 0;
  for (const QTreeWidgetItem* p = item->parent(); p; p = p->parent()) ++depth;
  return depth;
}

int CDeviceGroupTree::WalkItems(QTreeWidgetItem* item, QTreeWidget* tree, WalkFn fn, void* context) {
  for (QTreeWidgetItem* it = item; it;) {
    if (!fn(it, context)) return 0;
    if (it->childCount() && !WalkItems(it->child(0), tree, fn, context)) return 0;
    QTreeWidgetItem* parent = it->parent();
    int index = parent ? parent->indexOfChild(it) : tree->indexOfTopLevelItem(it);
    int count = parent ? parent->childCount() : tree->topLevelItemCount();
    it = index + 1 < count ? (parent ? parent->child(index + 1) : tree->topLevelItem(index + 1)) : nullptr;
  }
  return 1;
}

void CDeviceGroupTree::LoadGroupFile(const std::vector<DeviceInfo*>& devices) {
  if (!tree_) return;
  std::vector<bool> placed(devices.size(), false);
  ClearItemData();
  tree_->setUpdatesEnabled(false);
  std::string path = file_;
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) {
    path = old_file_;
    f = std::fopen(path.c_str(), "r");
  }
  if (f) {
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (16u << 20)) text.append(buf, n);
    std::fclose(f);
    std::vector<GroupFileLine> lines = ParseGroupFile(text);
    std::vector<QTreeWidgetItem*> groups(lines.size(), nullptr);
    for (size_t i = 0; i < lines.size(); ++i) {
      const GroupFileLine& l = lines[i];
      QTreeWidgetItem* parent = l.parent >= 0 ? groups[l.parent] : nullptr;
      if (l.group) {
        ItemData* d = AddGroup(parent, QString::fromStdString(l.text));
        groups[i] = d ? d->item : nullptr;
        continue;
      }
      for (size_t k = 0; k < devices.size(); ++k) {
        if (devices[k] && devices[k]->uuid == l.text) {
          auto data = std::make_unique<ItemData>();
          data->kind = 1;
          data->device = devices[k];
          InsertSorted(parent, MakeDeviceItem(data.get()));
          data_.push_back(std::move(data));
          placed[k] = true;
          if (parent) parent->setExpanded(true);
          break;
        }
      }
    }
  }
  for (size_t k = 0; k < devices.size(); ++k) {
    if (placed[k] || !devices[k]) continue;
    auto data = std::make_unique<ItemData>();
    data->kind = 1;
    data->device = devices[k];
    tree_->addTopLevelItem(MakeDeviceItem(data.get()));
    data_.push_back(std::move(data));
  }
  tree_->setUpdatesEnabled(true);
  tree_->update();
}

bool CDeviceGroupTree::SaveGroupFile() {
  if (!tree_) return false;
  std::string out;
  struct Ctx {
    std::string* out;
  } ctx{&out};
  if (tree_->topLevelItemCount())
    WalkItems(
        tree_->topLevelItem(0), tree_,
        [](QTreeWidgetItem* item, void* c) {
          std::string& o = *static_cast<Ctx*>(c)->out;
          ItemData* d = DataOf(item);
          if (!d) return 1;
          o.append(static_cast<size_t>(GetItemDepth(item)), '\t');
          if (d->kind == 0)
            o.append(1, '+').append(item->text(0).toStdString());
          else
            o += d->device->uuid;
          o += "\r\n";
          return 1;
        },
        &ctx);
  FILE* f = std::fopen(file_.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  ok = std::fclose(f) == 0 && ok;
  return ok;
}
