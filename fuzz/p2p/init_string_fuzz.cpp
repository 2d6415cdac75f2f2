// The init-string decoder and the parameter text of the library: server
// names, packet key and parameter lookups on hostile text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>

#include "p2p/cipher.h"
#include "p2p/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // a terminated copy
  const char* t = text.c_str();
  char out[1024];
  RVP_InitStringDecode(out, sizeof(out), t);
  if (out[sizeof(out) - 1] != 0) std::abort();
  char small[7];
  RVP_InitStringDecode(small, sizeof(small), t);
  if (small[sizeof(small) - 1] != 0) std::abort();

  char names[3][256];
  int n = p2p::RVP_ServerNamesOf(t, names);
  if (n < 0 || n > 3) std::abort();
  for (auto& name : names)
    if (strnlen(name, 256) > 255) std::abort();
  char key[21];
  p2p::RVP_PacketKeyOf(t, key);
  if (strnlen(key, 21) > 20) std::abort();

  char v[256];
  int i;
  p2p::RVP_ParamGet(t, "InitString", true, v, sizeof(v));
  p2p::RVP_ParamGetInt(t, "SessAliveSec", &i);
  p2p::RVP_ParamGetInt(t, "MaxNumSess", &i);
  // The encoder's output decodes back to its input (up to the first ':' and NUL).
  std::string plain = text.substr(0, std::min<size_t>(strnlen(t, 1000), 1000));
  std::string enc = RVP_InitStringEncode(plain);
  if (RVP_InitStringDecode(out, sizeof(out), enc.c_str()) != 0 || plain != out) std::abort();
  return 0;
}
