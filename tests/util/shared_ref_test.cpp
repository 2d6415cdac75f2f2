#include "util/shared_ref.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_alive{0};

struct Base {
  Base() { ++g_alive; }
  virtual ~Base() { --g_alive; }
};
struct Derived : Base {
  std::vector<int> payload = std::vector<int>(100);  // freed only through the virtual destructor
};

TEST(SharedRef, LastHolderDeletesTheObject) {
  g_alive = 0;
  {
    SharedRef<Base> a(new Derived);
    EXPECT_EQ(g_alive, 1);
    SharedRef<Base> b = a;
    SharedRef<Base> c;
    c = b;
    a.Release();
    EXPECT_FALSE(a);
    b.Release();
    EXPECT_EQ(g_alive, 1);
    EXPECT_TRUE(c);
    SharedRef<Base> d = std::move(c);
    EXPECT_FALSE(c);
    EXPECT_EQ(g_alive, 1);
  }
  EXPECT_EQ(g_alive, 0);
}

TEST(SharedRef, ResetHoldsTheNewObjectAndDropsTheOld) {
  g_alive = 0;
  Base* first = new Base;
  SharedRef<Base> a(first);
  a.Reset(first);  // the same object: no change
  EXPECT_EQ(g_alive, 1);
  EXPECT_EQ(a.Get(), first);
  SharedRef<Base> shared = a;
  a.Reset(new Derived);  // the first object lives on in shared
  EXPECT_EQ(g_alive, 2);
  EXPECT_NE(a.Get(), first);
  shared.Reset(new Base);  // the last reference to the first object: deleted
  EXPECT_EQ(g_alive, 2);
  a.Reset(nullptr);
  EXPECT_FALSE(a);
  EXPECT_EQ(g_alive, 1);
  shared.Release();
  shared.Release();
  EXPECT_EQ(g_alive, 0);
}

TEST(SharedRef, CopiesAcrossThreadsCountCorrectly) {
  g_alive = 0;
  SharedRef<Base> root(new Derived);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([copy = root]() mutable {
      for (int i = 0; i < 2000; ++i) {
        SharedRef<Base> local = copy;
        SharedRef<Base> other(local);
        other.Release();
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(g_alive, 1);
  root.Release();
  EXPECT_EQ(g_alive, 0);
}

}  // namespace
