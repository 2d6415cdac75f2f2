// The device groups file: nesting rules, round trip through the tree, edits, hostile files, file names.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "app/gui/device_group_tree.h"
#include "tests/app/app_test_util.h"

namespace {

DeviceInfo Dev(const char* uuid, const char* name, int online = 0) {
  DeviceInfo d;
  d.uuid = uuid;
  d.name = name;
  d.is_online = online;
  return d;
}

// The tree as lines of depth tabs and texts.
std::string Dump(QTreeWidget* tree) {
  std::string out;
  if (!tree->topLevelItemCount()) return out;
  CDeviceGroupTree::WalkItems(
      tree->topLevelItem(0), tree,
      [](QTreeWidgetItem* it, void* c) {
        auto* o = static_cast<std::string*>(c);
        o->append(static_cast<size_t>(CDeviceGroupTree::GetItemDepth(it)), '\t');
        *o += it->text(0).toStdString() + "\n";
        return 1;
      },
      &out);
  return out;
}

class GroupTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::App();
    ASSERT_TRUE(dir_.isValid());
    tree_ = std::make_unique<QTreeWidget>();
    devs_ = {Dev("B2", "Garage", 1), Dev("A1", "Door"), Dev("C3", "Yard")};
    for (auto& d : devs_) ptrs_.push_back(&d);
  }
  std::string Folder() const { return dir_.path().toStdString(); }
  std::string FilePath() const { return Folder() + "/user-group.txt"; }
  std::unique_ptr<CDeviceGroupTree> Load(const std::string& text) {
    apptest::WriteFile(FilePath(), text);
    auto g = std::make_unique<CDeviceGroupTree>("user", tree_.get(), Folder(), Folder() + "/old");
    tree_->clear();
    g->LoadGroupFile(ptrs_);
    return g;
  }

  QTemporaryDir dir_;
  std::unique_ptr<QTreeWidget> tree_;
  std::vector<DeviceInfo> devs_;
  std::vector<DeviceInfo*> ptrs_;
};

TEST_F(GroupTreeTest, RoundTripWithUnplacedDeviceAppended) {
  auto g = Load("+Office\r\n\tB2\r\n+Home\n\tA1\n");
  EXPECT_EQ(Dump(tree_.get()), "Home\n\tDoor(A1)\nOffice\n\tGarage(B2)\nYard(C3)\n");
  QTreeWidgetItem* b2 = tree_->topLevelItem(1)->child(0);
  EXPECT_EQ(b2->data(0, Qt::UserRole + 1).toInt(), 2);  // online image
  EXPECT_EQ(tree_->topLevelItem(0)->child(0)->data(0, Qt::UserRole + 1).toInt(), 1);
  EXPECT_TRUE(tree_->topLevelItem(0)->isExpanded());
  ASSERT_TRUE(g->SaveGroupFile());
  EXPECT_EQ(apptest::ReadFile(FilePath()), "+Home\r\n\tA1\r\n+Office\r\n\tB2\r\nC3\r\n");
  // Loading what was saved gives the same tree.
  std::string before = Dump(tree_.get());
  tree_->clear();
  g->LoadGroupFile(ptrs_);
  EXPECT_EQ(Dump(tree_.get()), before);
}

struct NestCase {
  const char* file;
  const char* tree;
};

TEST_F(GroupTreeTest, NestingTable) {
  const NestCase cases[] = {
      // A device at depth 0 after a group at depth 0 lands at the root (sorted there).
      {"+G\nA1\n", "Door(A1)\nG\nGarage(B2)\nYard(C3)\n"},
      // Deeper than one level still goes one level down; a device listed twice shows twice.
      {"+G\n\t\t\tA1\n  A1\n", "G\n\tDoor(A1)\n\tDoor(A1)\nGarage(B2)\nYard(C3)\n"},
      // Nested groups, then climbing back two levels.
      {"+a\n +b\n  +c\n   B2\n +d\nA1\n", "a\n\tb\n\t\tc\n\t\t\tGarage(B2)\n\td\nDoor(A1)\nYard(C3)\n"},
      // Comments, blank lines, unknown uuids, trailing blanks; "+ x" keeps its blank.
      {"# c\n\n   ; x\nZZ9\n+ x  \t\n\tC3   \r\n", " x\n\tYard(C3)\nGarage(B2)\nDoor(A1)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    auto g = Load(c.file);
    EXPECT_EQ(Dump(tree_.get()), c.tree);
  }
}

TEST_F(GroupTreeTest, NoFileAndOldPlaceFallback) {
  auto g = std::make_unique<CDeviceGroupTree>("user", tree_.get(), Folder(), Folder() + "/old");
  g->LoadGroupFile(ptrs_);  // no file: list order at the root
  EXPECT_EQ(Dump(tree_.get()), "Garage(B2)\nDoor(A1)\nYard(C3)\n");
  QDir().mkpath(dir_.filePath("old"));
  apptest::WriteFile(Folder() + "/old/user-group.txt", "+Old\n\tC3\n");
  tree_->clear();
  g->LoadGroupFile(ptrs_);
  EXPECT_EQ(Dump(tree_.get()), "Old\n\tYard(C3)\nGarage(B2)\nDoor(A1)\n");
  ASSERT_TRUE(g->SaveGroupFile());  // written to the new place
  EXPECT_EQ(apptest::ReadFile(FilePath()), "+Old\r\n\tC3\r\nB2\r\nA1\r\n");
  auto bad = std::make_unique<CDeviceGroupTree>("user", tree_.get(), Folder() + "/no/such/dir");
  EXPECT_FALSE(bad->SaveGroupFile());
}

TEST_F(GroupTreeTest, EditsAndDelete) {
  auto g = Load("+Home\n\t+Inner\n\t\tA1\n\t\tB2\n\t+Zed\n+Away\n");
  QTreeWidgetItem* home = tree_->topLevelItem(1);
  ASSERT_EQ(home->text(0), "Home");
  EXPECT_EQ(CDeviceGroupTree::GetItemDepth(home->child(0)->child(0)), 2);
  EXPECT_EQ(CDeviceGroupTree::GetItemDepth(nullptr), -1);
  // Add sorts among siblings.
  CDeviceGroupTree::ItemData* added = g->AddGroup(home, "Basement");
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(home->child(0)->text(0), "Basement");
  // Move the root device into Away.
  QTreeWidgetItem* c3 = tree_->topLevelItem(2);
  ASSERT_EQ(c3->text(0), "Yard(C3)");
  devs_[2].is_online = 1;  // a move takes the online image afresh
  EXPECT_TRUE(g->MoveDevice(c3, tree_->topLevelItem(0)));
  EXPECT_EQ(tree_->topLevelItem(0)->child(0)->data(0, Qt::UserRole + 1).toInt(), 2);
  size_t before = g->item_data_count();
  // Deleting Home moves A1 and B2 (inside Inner) to the root and removes Inner, Basement and Zed.
  g->DeleteGroup(home);
  EXPECT_EQ(Dump(tree_.get()), "Away\n\tYard(C3)\nDoor(A1)\nGarage(B2)\n");
  EXPECT_EQ(g->item_data_count(), before - 4);
  ASSERT_TRUE(g->SaveGroupFile());
  EXPECT_EQ(apptest::ReadFile(FilePath()), "+Away\r\n\tC3\r\nA1\r\nB2\r\n");
}

TEST(GroupFile, HostileText) {
  // Long lines come in pieces of 255; zero bytes end a line; deep indentation stays bounded.
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += std::string(static_cast<size_t>(i % 254), '\t') + "+g\n";
  auto lines = ParseGroupFile(deep);
  ASSERT_EQ(lines.size(), 300u);
  for (size_t i = 0; i < lines.size(); ++i) ASSERT_LT(lines[i].parent, static_cast<int>(i));
  lines = ParseGroupFile(std::string(600, 'x'));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text.size(), 255u);
  lines = ParseGroupFile(std::string("+a\0b\nc", 7));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "a");
  EXPECT_TRUE(ParseGroupFile("").empty());
  EXPECT_TRUE(ParseGroupFile(" \t \n#\n;\n\r\n").empty());
}

TEST(GroupFile, SanitisedFileName) {
  const std::pair<const char*, const char*> cases[] = {
      {"user@example.com", "user@example.com"},
      {"13800000000", "13800000000"},
      {"../../etc/passwd", "_._.._etc_passwd"},
      {"", "_"},
      {".hidden", "_hidden"},
      {"a b\\c", "a_b_c"},
  };
  for (const auto& c : cases) EXPECT_EQ(SanitizeGroupFileUser(c.first), c.second) << c.first;
  EXPECT_EQ(SanitizeGroupFileUser(std::string(200, 'a')).size(), 64u);
  apptest::App();
  QTreeWidget tree;
  CDeviceGroupTree g("../x", &tree, "/data");
  EXPECT_EQ(g.file_name(), "/data/_._x-group.txt");
}

}  // namespace
