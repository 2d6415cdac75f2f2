// The P2P tools' check of an --init value before the library sees it.
#pragma once

#include <string>

#include "p2p/cipher.h"

namespace tools {

// "" when init looks like an init string (rdvsim's: letters A..P in pairs that
// decode to the servers' names, then ":KEY" or nothing); otherwise why not.
inline std::string InitStringProblem(const std::string& init) {
  const std::string letters = init.substr(0, init.find(':'));
  const std::string why = "'" + init + "' is not an init string (letters A..P in pairs, as rdvsim prints it)";
  if (letters.size() < 18 || letters.size() % 2 != 0 ||
      letters.find_first_not_of("ABCDEFGHIJKLMNOP") != std::string::npos ||
      init.find_first_of("\"\\") != std::string::npos)
    return why;
  char servers[1024];
  if (RVP_InitStringDecode(servers, sizeof(servers), init.c_str()) != 0) return why;
  for (const char* c = servers; *c; ++c)
    if (*c < 0x20 || *c > 0x7e) return why;
  return "";
}

}  // namespace tools
