#include "tools/vdec/backend.h"

namespace vdec {

std::unique_ptr<Backend> MakeH264Backend(const Options&) { return nullptr; }

}  // namespace vdec
