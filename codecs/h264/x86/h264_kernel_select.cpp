// Choice of the kernel set at create: the best one the processor runs,
// unless the build forces the plain kernels.
#include "codecs/h264/h264_internal.h"
#include "codecs/h264/x86/h264_kernels_x86.h"

bool H264KernelVariantAvailable(int variant) {
  switch (variant) {
    case kH264KernelsPlain: return true;
    case kH264KernelsSse2: return H264DecCpuLevel() >= 4;
    case kH264KernelsAvx2: return H264DecCpuLevel() >= 4 && __builtin_cpu_supports("avx2");
    default: return false;
  }
}

const char* H264KernelVariantName(int variant) {
  switch (variant) {
    case kH264KernelsPlain: return "plain";
    case kH264KernelsSse2: return "sse2";
    case kH264KernelsAvx2: return "avx2";
    default: return "unknown";
  }
}

void H264InstallKernelVariant(H264DecKernelTable* table, int variant) {
  H264InstallKernels(table);
  if (variant >= kH264KernelsSse2) {
    H264InstallSse2Kernels(table);
    H264InstallSse2DeblockKernels(table);
    H264InstallSse2IntraKernels(table);
  }
  if (variant >= kH264KernelsAvx2) H264InstallAvx2Kernels(table);
}

int H264BestKernelVariant() {
#ifdef VELMORA_PLAIN_KERNELS
  return kH264KernelsPlain;
#else
  for (int v = kH264KernelVariantCount - 1; v > 0; --v)
    if (H264KernelVariantAvailable(v)) return v;
  return kH264KernelsPlain;
#endif
}
