// The kernel table: plain kernels in every slot, then the vector twins the
// processor feature word allows, installed group by group.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

#if defined(VELMORA_HEVC_X86)
#include "codecs/hevc/x86/hevc_x86.h"
#endif

namespace hevc {
namespace {

#if defined(__x86_64__) || defined(__i386__)
int ProbeCanToggleId() {
#if defined(__x86_64__)
  // x86-64 always has CPUID; toggle the ID bit anyway, as the word asks
  uint64_t before, after;
  __asm__ volatile(
      "pushfq\n\tpopq %0\n\tmovq %0, %1\n\txorq $0x200000, %1\n\tpushq %1\n\tpopfq\n\t"
      "pushfq\n\tpopq %1\n\tpushq %0\n\tpopfq"
      : "=&r"(before), "=&r"(after)
      :
      : "cc");
  return ((before ^ after) & 0x200000) != 0;
#else
  uint32_t before, after;
  __asm__ volatile(
      "pushfl\n\tpopl %0\n\tmovl %0, %1\n\txorl $0x200000, %1\n\tpushl %1\n\tpopfl\n\t"
      "pushfl\n\tpopl %1\n\tpushl %0\n\tpopfl"
      : "=&r"(before), "=&r"(after)
      :
      : "cc");
  return ((before ^ after) & 0x200000) != 0;
#endif
}

void ProbeCpuid(uint32_t leaf, uint32_t regs[4]) {
  uint32_t a, b, c, d;
  __asm__ volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(leaf), "c"(0));
  regs[0] = a;
  regs[1] = b;
  regs[2] = c;
  regs[3] = d;
}

void ProbeXgetbv(uint32_t index, uint32_t* lo, uint32_t* hi) {
  __asm__ volatile("xgetbv" : "=a"(*lo), "=d"(*hi) : "c"(index));
}

constexpr HevcCpuProbe kMachine{&ProbeCanToggleId, &ProbeCpuid, &ProbeXgetbv};
#else
int NoCpuid() { return 0; }
constexpr HevcCpuProbe kMachine{&NoCpuid, nullptr, nullptr};
#endif

}  // namespace

int32_t HevcCpuDetectWith(const HevcCpuProbe& probe) {
  if (!probe.canToggleId()) return 0;
  uint32_t r[4];
  probe.cpuid(0, r);
  if (r[0] == 0) return 0;
  const uint32_t maxLeaf = r[0];
  char vendor[13];
  std::memcpy(vendor, &r[1], 4);
  std::memcpy(vendor + 4, &r[3], 4);
  std::memcpy(vendor + 8, &r[2], 4);
  vendor[12] = 0;
  probe.cpuid(1, r);
  const uint32_t a = r[0], c = r[2], d = r[3];
  if (!(d & (1u << 23))) return 0;
  int32_t flags = kCpuMmx;
  if (!(d & (1u << 15))) return flags;
  flags |= kCpuCmov;
  if (d & (1u << 26)) flags |= kCpuSse2;
  if (c & (1u << 19)) flags |= kCpuSse41;
  if ((c & (1u << 27)) && (c & (1u << 28))) {
    uint32_t lo = 0, hi = 0;
    probe.xgetbv(0, &lo, &hi);
    if ((lo & 6) == 6) flags |= kCpuAvx;
  }
  if ((flags & kCpuAvx) && maxLeaf >= 7) {
    probe.cpuid(7, r);
    if (r[1] & (1u << 5)) flags |= kCpuAvx2;
  }
  const int family = static_cast<int>(((a >> 8) & 0xF) + ((a >> 20) & 0xFF));
  const int model = static_cast<int>(((a >> 4) & 0xF) + (((a >> 16) & 0xF) << 4));
  if (std::strcmp(vendor, "GenuineIntel") == 0 && family == 6 && (model == 9 || model == 13 || model == 14))
    flags &= ~kCpuSse2;
  return flags;
}

int32_t HevcCpuDetect() { return HevcCpuDetectWith(kMachine); }

// The installers, each on its own slots, by the bits that allow them. A slot
// without a vector twin keeps its plain kernel.
void HevcInstallDeblockSimd(HevcDspTable* t, int32_t flags) {
#if defined(VELMORA_HEVC_X86)
  if (flags & kCpuSse2) HevcSetDeblockChromaSse2(t);
  if (flags & kCpuSse41) HevcSetDeblockLumaSse41(t);
#endif
  (void)t;
  (void)flags;
}

void HevcInstallSaoSimd(HevcDspTable* t, int32_t flags) {
#if defined(VELMORA_HEVC_X86)
  if (flags & kCpuSse41) HevcSetSaoSse41(t);
#endif
  (void)t;
  (void)flags;
}

void HevcInstallTransformSimd(HevcDspTable* t, int32_t flags) {
#if defined(VELMORA_HEVC_X86)
  if (flags & kCpuSse41) HevcSetTransformSse41(t);
  if ((flags & kCpuSse41) && (flags & kCpuAvx2)) HevcSetTransformAvx2(t);
#endif
  (void)t;
  (void)flags;
}

void HevcInstallIntraSimd(HevcDspTable* t, int32_t flags) {
#if defined(VELMORA_HEVC_X86)
  if (flags & kCpuSse41) HevcSetIntraSse41(t);
#endif
  (void)t;
  (void)flags;
}

void HevcInstallMcSimd(HevcDspTable* t, int32_t flags) {
#if defined(VELMORA_HEVC_X86)
  if (flags & kCpuSse41) HevcSetMcSse41(t);
#endif
  (void)t;
  (void)flags;
}

void HevcInstallCopySimd(HevcDspTable* t, int32_t flags) {
#if defined(VELMORA_HEVC_X86)
  if (flags & kCpuSse2) HevcSetCopySse2(t);
  if (flags & kCpuAvx) HevcSetCopyAvx(t);
#endif
  (void)t;
  (void)flags;
}

void HevcInstallPaddingSimd(HevcDspTable* t, int32_t flags) {
#if defined(VELMORA_HEVC_X86)
  if (flags & kCpuSse2) HevcSetBorderSse2(t);
  if (flags & kCpuAvx) HevcSetBorderAvx(t);
#endif
  (void)t;
  (void)flags;
}

void HevcInstallSimd(HevcDspTable* t, int32_t flags) {
  HevcInstallDeblockSimd(t, flags);
  HevcInstallSaoSimd(t, flags);
  HevcInstallTransformSimd(t, flags);
  HevcInstallIntraSimd(t, flags);
  HevcInstallMcSimd(t, flags);
  HevcInstallCopySimd(t, flags);
  HevcInstallPaddingSimd(t, flags);
}

void HevcInstallPlain(HevcDspTable* table) {
  HevcSetLoopFilterKernels(table);
  HevcSetTransformKernels(table);
  HevcSetIntraKernels(table);
  HevcSetInterKernels(table);
  HevcSetCopyKernels(table);
}

void HevcInstallKernels(HevcDspTable* table, int32_t* cpuFlags, int vector) {
  *cpuFlags = 0;
  HevcInstallPlain(table);
  if (!vector) return;
  *cpuFlags = HevcCpuDetect();
#if !defined(VELMORA_PLAIN_KERNELS)
  HevcInstallSimd(table, *cpuFlags);
#endif
}

}  // namespace hevc
