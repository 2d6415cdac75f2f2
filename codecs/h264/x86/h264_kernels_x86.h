// Vector kernels of the H.264 kernel table and their selection by the
// processor's features.
#pragma once

#include "codecs/h264/h264_kernels.h"

// Kernel sets in order of preference; each one needs the processor level
// the decoder checks at create (MMX, CMOV, SSE, SSE2), AVX2 also the
// processor's AVX2 (on top of the SSE2 set).
enum H264KernelVariant : int {
  kH264KernelsPlain = 0,
  kH264KernelsSse2 = 1,
  kH264KernelsAvx2 = 2,
  kH264KernelVariantCount = 3,
};

// Whether this build and this processor can run the variant.
bool H264KernelVariantAvailable(int variant);
const char* H264KernelVariantName(int variant);

// Fills the table with the variant's kernels; slots without a vector kernel
// keep the plain one.
void H264InstallKernelVariant(H264DecKernelTable* table, int variant);

// The best variant the processor has (the plain one when the build forces
// plain kernels).
int H264BestKernelVariant();

// SSE2 kernels (x86 only).
void H264InstallSse2Kernels(H264DecKernelTable* table);
// SSE2 kernels of the deblocking decisions (edge strengths).
void H264InstallSse2DeblockKernels(H264DecKernelTable* table);
// SSE2 Intra_8x8 kernels.
void H264InstallSse2IntraKernels(H264DecKernelTable* table);
// AVX2 kernels (the luma edge filter of two sections).
void H264InstallAvx2Kernels(H264DecKernelTable* table);
