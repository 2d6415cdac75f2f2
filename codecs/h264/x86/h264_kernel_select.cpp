// Choice of the kernel set at create: the best one the processor runs,
// unless the build forces the plain kernels.
#include "codecs/h264/h264_internal.h"
#include "codecs/h264/x86/h264_kernels_x86.h"

#include <cpuid.h>

namespace {

bool HasSsse3() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_SSSE3);
}

// AVX2 by the processor, with the upper register halves saved by the system.
bool HasAvx2() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
  unsigned lo = 0, hi = 0;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  if ((lo & 6) != 6) return false;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
}

}  // namespace

bool H264KernelVariantAvailable(int variant) {
  switch (variant) {
    case kH264KernelsPlain: return true;
    case kH264KernelsSse2: return H264DecCpuLevel() >= 4;
    case kH264KernelsSsse3: return H264DecCpuLevel() >= 4 && HasSsse3();
    case kH264KernelsAvx2: return H264DecCpuLevel() >= 4 && HasSsse3() && HasAvx2();
    default: return false;
  }
}

const char* H264KernelVariantName(int variant) {
  switch (variant) {
    case kH264KernelsPlain: return "plain";
    case kH264KernelsSse2: return "sse2";
    case kH264KernelsSsse3: return "ssse3";
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
  if (variant >= kH264KernelsSsse3) H264InstallSsse3Kernels(table);
  if (variant >= kH264KernelsAvx2) {
    H264InstallAvx2Kernels(table);
    H264InstallAvx2DeblockKernels(table);
  }
}

const H264McFn* H264Chroma2x2OfVariant(int variant) {
  if (variant >= kH264KernelsAvx2) return H264Avx2Chroma2x2();
  return variant >= kH264KernelsSsse3 ? H264Ssse3Chroma2x2() : H264Chroma2x2Kernels;
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
