// Byte-order helpers, under the library's namespace.
#pragma once

#include "platform/byte_order.h"

namespace p2p {

using platform::GetBe16;
using platform::GetBe32;
using platform::GetLe16;
using platform::GetLe32;
using platform::PutBe16;
using platform::PutBe32;
using platform::PutLe16;
using platform::PutLe32;

}  // namespace p2p
