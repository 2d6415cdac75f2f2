#include "sdk/cloud/record_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Seg {
  int64_t start;
  int32_t duration;
  int32_t kind;
  uint32_t ossid;
  std::string tag;  // identifies the input segment in the results
};

std::vector<PlaybackSegment> Make(const std::vector<Seg>& in) {
  std::vector<PlaybackSegment> out;
  for (const Seg& s : in) {
    PlaybackSegment p;
    p.start = s.start;
    p.duration = s.duration;
    p.kind = s.kind;
    p.ossid = s.ossid;
    p.image_path = s.tag;
    out.push_back(p);
  }
  return out;
}

// start-end/kind/ossid/tag of each segment.
std::string Show(const std::vector<PlaybackSegment>& list) {
  std::string out;
  for (const auto& p : list) {
    out += std::to_string(p.start) + "-" + std::to_string(p.End()) + "/" + std::to_string(p.kind) + "/" +
           std::to_string(p.ossid) + "/" + p.image_path + " ";
  }
  return out;
}

struct MergeCase {
  const char* name;
  std::vector<Seg> in;
  const char* expected;
};

TEST(SortAndMergeSegments, Table) {
  const MergeCase cases[] = {
      {"empty", {}, ""},
      {"one", {{5, 10, 1, 1, "a"}}, "5-15/1/1/a "},
      {"touching same kind merge", {{0, 10, 0, 1, "a"}, {10, 10, 0, 1, "b"}}, "0-20/0/1/a "},
      {"touching other kind stay", {{0, 10, 0, 1, "a"}, {10, 10, 1, 1, "b"}}, "0-10/0/1/a 10-20/1/1/b "},
      {"contained absorbed", {{0, 100, 2, 1, "a"}, {10, 10, 2, 1, "b"}}, "0-100/2/1/a "},
      {"overlap extends", {{0, 30, 2, 1, "a"}, {20, 30, 2, 1, "b"}}, "0-50/2/1/a "},
      {"gap keeps both", {{0, 10, 0, 1, "a"}, {11, 10, 0, 1, "b"}}, "0-10/0/1/a 11-21/0/1/b "},
      {"other storage id stays", {{0, 30, 0, 1, "a"}, {10, 30, 0, 2, "b"}}, "0-30/0/1/a 10-40/0/2/b "},
      {"unsorted input sorted",
       {{50, 10, 0, 1, "c"}, {0, 10, 0, 1, "a"}, {20, 5, 0, 1, "b"}},
       "0-10/0/1/a 20-25/0/1/b 50-60/0/1/c "},
      {"equal starts keep input order",
       {{0, 10, 1, 1, "a"}, {0, 5, 2, 1, "b"}, {0, 7, 3, 1, "c"}},
       "0-10/1/1/a 0-5/2/1/b 0-7/3/1/c "},
      {"chain of three merges",
       {{0, 10, 0, 1, "a"}, {10, 10, 0, 1, "b"}, {15, 20, 0, 1, "c"}},
       "0-35/0/1/a "},
      // After a kept segment of another kind the walk compares with that one, not the earlier.
      {"interleaved kinds",
       {{0, 100, 0, 1, "a"}, {10, 10, 1, 1, "b"}, {15, 10, 0, 1, "c"}},
       "0-100/0/1/a 10-20/1/1/b 15-25/0/1/c "},
      {"64-bit starts",
       {{4102444800LL, 10, 0, 1, "a"}, {4102444810LL, 10, 0, 1, "b"}},
       "4102444800-4102444820/0/1/a "},
      // A merge whose span no longer fits 32 bits keeps the segments apart.
      {"span past 32 bits stays two",
       {{0, 2147483647, 0, 1, "a"}, {2147483000LL, 2147483647, 0, 1, "b"}},
       "0-2147483647/0/1/a 2147483000-4294966647/0/1/b "},
  };
  for (const MergeCase& c : cases) {
    auto list = Make(c.in);
    SortAndMergeSegments(list);
    EXPECT_EQ(Show(list), c.expected) << c.name;
  }
}

struct FindCase {
  const char* name;
  int64_t t;
  int index;
  int64_t offset;
};

TEST(FindSegmentAt, Table) {
  // [100, 110) [110, 130) [200, 250) [300, 301)
  auto list = Make({{100, 10, 0, 1, ""}, {110, 20, 1, 1, ""}, {200, 50, 0, 1, ""}, {300, 1, 0, 1, ""}});
  const FindCase cases[] = {
      {"before the first", 90, 0, -10},
      {"first start", 100, 0, 0},
      {"inside the first", 109, 0, 0},
      {"second start", 110, 1, 0},
      {"gap: 5 s before the third", 195, 2, -5},
      {"gap right after an end", 130, 2, -70},
      {"inside the third", 249, 2, 0},
      {"gap before the last", 299, 3, -1},
      {"inside the last", 300, 3, 0},
      {"at the last end", 301, 3, 0},
      {"30 s after the last end", 331, 3, 30},
  };
  for (const FindCase& c : cases) {
    int64_t offset = 12345;
    EXPECT_EQ(FindSegmentAt(list, c.t, &offset), c.index) << c.name;
    EXPECT_EQ(offset, c.offset) << c.name;
  }
}

TEST(FindSegmentAt, EmptyAndSingle) {
  std::vector<PlaybackSegment> empty;
  int64_t offset = 7;
  EXPECT_EQ(FindSegmentAt(empty, 10, &offset), -1);
  auto one = Make({{10, 10, 0, 0, ""}});
  EXPECT_EQ(FindSegmentAt(one, 15, &offset), 0);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(FindSegmentAt(one, 5, &offset), 0);
  EXPECT_EQ(offset, -5);
  EXPECT_EQ(FindSegmentAt(one, 25, &offset), 0);
  EXPECT_EQ(offset, 5);
  EXPECT_EQ(FindSegmentAt(one, 15, nullptr), 0);
}

TEST(FindSegmentAt, EveryTimeOfAMergedDay) {
  // Gaps of every width between segments; every second of the span gives an index whose segment holds the
  // time, or the next segment with the distance to it.
  std::vector<Seg> in;
  int64_t t = 1000;
  for (int i = 0; i < 40; ++i) {
    in.push_back({t, 5 + i % 7, 0, 1, ""});
    t += 5 + i % 7 + (i % 4);  // gaps of 0 to 3 s
  }
  auto list = Make(in);
  SortAndMergeSegments(list);
  for (int64_t q = list.front().start; q < list.back().End(); ++q) {
    int64_t offset = 0;
    int i = FindSegmentAt(list, q, &offset);
    ASSERT_GE(i, 0) << q;
    if (offset == 0) {
      EXPECT_LE(list[i].start, q);
      EXPECT_LT(q, list[i].End());
    } else {
      EXPECT_EQ(q - list[i].start, offset);
      ASSERT_GT(i, 0);
      EXPECT_GE(q, list[i - 1].End());
    }
  }
}

}  // namespace
