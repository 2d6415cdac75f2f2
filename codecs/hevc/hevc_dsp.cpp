// The kernel table: plain kernels in every slot, and the processor feature
// word that will choose vector twins.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace hevc {

int32_t HevcCpuDetect() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a, b, c, d;
  if (!__get_cpuid(0, &a, &b, &c, &d) || a == 0) return 0;
  char vendor[13];
  std::memcpy(vendor, &b, 4);
  std::memcpy(vendor + 4, &d, 4);
  std::memcpy(vendor + 8, &c, 4);
  vendor[12] = 0;
  __get_cpuid(1, &a, &b, &c, &d);
  if (!(d & (1u << 23))) return 0;
  int32_t flags = 0x2;
  if (!(d & (1u << 15))) return flags;
  flags |= 0x1;
  if (d & (1u << 26)) flags |= 0x10;
  if (c & (1u << 19)) flags |= 0x80;
  if ((c & (1u << 27)) && (c & (1u << 28))) {
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 6) == 6) flags |= 0x400;
  }
  const int family = ((a >> 8) & 0xF) + ((a >> 20) & 0xFF);
  const int model = ((a >> 4) & 0xF) + (((a >> 16) & 0xF) << 4);
  if (std::strcmp(vendor, "GenuineIntel") == 0 && family == 6 && (model == 9 || model == 13 || model == 14))
    flags &= ~0x10;
  return flags;
#else
  return 0;
#endif
}

void HevcInstallKernels(HevcDspTable* table, int32_t* cpuFlags, int vector) {
  *cpuFlags = 0;
  HevcSetLoopFilterKernels(table);
  HevcSetTransformKernels(table);
  HevcSetIntraKernels(table);
  HevcSetInterKernels(table);
  HevcSetCopyKernels(table);
  if (vector) *cpuFlags = HevcCpuDetect();
  // The vector twins of each group are installed here, by *cpuFlags, once
  // they exist; until then every slot keeps its plain kernel.
}

}  // namespace hevc
