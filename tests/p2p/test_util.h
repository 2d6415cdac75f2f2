// Helpers shared by the P2P library tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace p2ptest {

// "F1 00 0A" -> bytes.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ' || text[i] == '\n' || text[i] == '|') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    i += 2;
  }
  return out;
}

inline std::string ToHex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof(b), i ? " %02X" : "%02X", p[i]);
    s += b;
  }
  return s;
}
inline std::string ToHex(const std::vector<uint8_t>& v) { return ToHex(v.data(), v.size()); }

inline sockaddr_in V4(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

}  // namespace p2ptest
