// Splits an Annex-B H.264 or HEVC elementary stream into access units, each
// NAL unit behind a 4-byte start code, as a device sends its frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

struct AccessUnit {
  std::vector<uint8_t> data;
  bool key = false;
};

inline std::vector<AccessUnit> SplitAnnexB(const std::vector<uint8_t>& s, bool hevc) {
  // NAL unit bounds.
  std::vector<std::pair<size_t, size_t>> nals;
  size_t i = 0, n = s.size(), start = SIZE_MAX;
  while (i + 3 <= n) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && s[end - 1] == 0) --end;
        nals.emplace_back(start, end);
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != SIZE_MAX && start < n) nals.emplace_back(start, n);

  std::vector<AccessUnit> units;
  AccessUnit cur;
  bool hasVcl = false;
  for (auto [b, e] : nals) {
    if (e <= b + (hevc ? 2u : 1u)) continue;
    const uint8_t* u = s.data() + b;
    bool vcl, first, key;
    bool startsAu;
    if (hevc) {
      int type = (u[0] >> 1) & 0x3F;
      vcl = type < 32;
      first = vcl && (u[2] & 0x80);
      key = type >= 16 && type <= 23;
      startsAu = vcl ? first : (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                                   (type >= 48 && type <= 55);
    } else {
      int type = u[0] & 0x1F;
      vcl = type >= 1 && type <= 5;
      first = vcl && (u[1] & 0x80);
      key = type == 5;
      startsAu = vcl ? first : type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
    }
    if (startsAu && hasVcl) {
      units.push_back(std::move(cur));
      cur = AccessUnit();
      hasVcl = false;
    }
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    cur.data.insert(cur.data.end(), kStart, kStart + 4);
    cur.data.insert(cur.data.end(), u, s.data() + e);
    cur.key = cur.key || key;
    hasVcl = hasVcl || vcl;
  }
  if (!cur.data.empty() && hasVcl) units.push_back(std::move(cur));
  return units;
}
