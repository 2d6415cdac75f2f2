#include "tools/vdec/backend.h"

namespace vdec {

std::unique_ptr<Backend> MakeHevcBackend(const Options&) { return nullptr; }

}  // namespace vdec
