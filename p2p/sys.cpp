#include "p2p/sys.h"

#include <chrono>

namespace p2p {

int64_t NowSec() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace p2p
