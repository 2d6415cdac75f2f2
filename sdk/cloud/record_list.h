// A day's record list: recordings from the SD card or the cloud index, sorted by start and merged where they
// touch or overlap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PlaybackSegment {
  int32_t kind = 0;        // alarm kind of a cloud recording; the SD-card entry's kind byte
  uint32_t ossid = 0;      // storage id of a cloud recording; 0 for SD-card recordings
  int64_t start = 0;       // seconds
  int32_t duration = 0;    // seconds; the segment ends at start + duration
  std::string image_path;  // thumbnail of a cloud recording
  uint8_t is_body = 0;     // 1 when the cloud index marks a body in the recording

  int64_t End() const { return start + duration; }
};

// a starts before b.
bool PlaybackSegmentLess(const PlaybackSegment& a, const PlaybackSegment& b);

// Stable sort by start, then each segment absorbs the following ones of the same storage id and kind that
// touch or overlap it. Segments of another kind stay, overlapping or not.
void SortAndMergeSegments(std::vector<PlaybackSegment>& list);

// The segment for time t in a sorted list: its index with *offset 0 when a segment holds t; the next segment
// with *offset = t - its start (negative) when t lies in a gap or before the first; the last segment with
// *offset = t - its end when t is at or after the last end. -1 for an empty list, or when the gap search
// lands on a segment that does not start after t.
int FindSegmentAt(const std::vector<PlaybackSegment>& list, int64_t t, int64_t* offset);
