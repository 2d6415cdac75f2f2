// The login-payload cipher: decrypting hostile input with every capacity
// stays in bounds; encrypting and decrypting gives the input back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "p2p/cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  int n = static_cast<int>(size);
  int cap = size ? data[0] % 8 : 0;
  for (int c : {n - 4 - cap, n - 4, n}) {
    std::vector<uint8_t> out(c > 0 ? static_cast<size_t>(c) : 0);
    int r = RVP_LoginDecrypt(n, data, out.data(), c);
    if (r >= 0 && (r != n - 4 || r > c)) std::abort();
  }
  std::vector<uint8_t> enc(size + 4), dec(size + 1);
  if (RVP_LoginEncrypt(nullptr, data, n, enc.data(), n + 4) != n + 4) std::abort();
  if (RVP_LoginDecrypt(n + 4, enc.data(), dec.data(), n) != n) std::abort();
  if (size && std::memcmp(dec.data(), data, size) != 0) std::abort();
  return 0;
}
