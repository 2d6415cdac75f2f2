#include "sdk/cloud/record_list.h"

#include <algorithm>
#include <climits>
#include <utility>

bool PlaybackSegmentLess(const PlaybackSegment& a, const PlaybackSegment& b) { return a.start < b.start; }

void SortAndMergeSegments(std::vector<PlaybackSegment>& list) {
  if (list.empty()) return;
  std::stable_sort(list.begin(), list.end(), PlaybackSegmentLess);
  size_t i = 0;
  for (size_t j = 1; j < list.size(); ++j) {
    PlaybackSegment& kept = list[i];
    PlaybackSegment& next = list[j];
    bool joins = next.ossid == kept.ossid && next.start <= kept.End() && next.kind == kept.kind;
    if (joins) {
      int64_t end = std::max(kept.End(), next.End());
      // A merged span that no longer fits the duration field stays two segments.
      if (end - kept.start <= INT32_MAX) {
        kept.duration = static_cast<int32_t>(end - kept.start);
        continue;
      }
    }
    ++i;
    if (i != j) list[i] = std::move(next);
  }
  list.resize(i + 1);
}

int FindSegmentAt(const std::vector<PlaybackSegment>& list, int64_t t, int64_t* offset) {
  int64_t unused;
  if (!offset) offset = &unused;
  if (list.empty()) return -1;
  const int n = static_cast<int>(list.size());
  if (t < list.front().start) {
    *offset = t - list.front().start;
    return 0;
  }
  if (t >= list.back().End()) {
    *offset = t - list.back().End();
    return n - 1;
  }
  int low = 0, high = n - 1, mid = 0;
  while (low <= high) {
    mid = low + (high - low) / 2;
    const PlaybackSegment& s = list[mid];
    if (s.start <= t && t < s.End()) {
      *offset = 0;
      return mid;
    }
    if (t >= s.End()) {
      low = mid + 1;
    } else {
      high = mid - 1;
    }
  }
  if (t >= list[mid].End()) {
    if (mid + 1 >= n) return -1;
    ++mid;
  }
  if (list[mid].start <= t) return -1;
  *offset = t - list[mid].start;
  return mid;
}
