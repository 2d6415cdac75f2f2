// Vector kernels of the H.264 kernel table and their selection by the
// processor's features.
#pragma once

#include "codecs/h264/h264_kernels.h"

// Kernel sets in order of preference; each one needs the processor level
// the decoder checks at create (MMX, CMOV, SSE, SSE2) and the features its
// name adds.
enum H264KernelVariant : int {
  kH264KernelsPlain = 0,
  kH264KernelsSse2 = 1,
  kH264KernelsSsse3 = 2,  // SSE2 and SSSE3
  kH264KernelsAvx2 = 3,   // SSE2, SSSE3 and AVX2
  kH264KernelVariantCount = 4,
};

// Whether this build and this processor can run the variant.
bool H264KernelVariantAvailable(int variant);
const char* H264KernelVariantName(int variant);

// Fills the table with the variant's kernels; slots without a vector kernel
// keep the plain one.
void H264InstallKernelVariant(H264DecKernelTable* table, int variant);

// The variant's chroma kernels of 2x2 blocks (beside the table).
const H264McFn* H264Chroma2x2OfVariant(int variant);

// The best variant the processor has (the plain one when the build forces
// plain kernels).
int H264BestKernelVariant();

// SSE2 kernels (x86 only).
void H264InstallSse2Kernels(H264DecKernelTable* table);

// SSSE3 motion compensation (x86 only).
void H264InstallSsse3Kernels(H264DecKernelTable* table);
const H264McFn* H264Ssse3Chroma2x2();

// AVX2 motion compensation (x86 only).
void H264InstallAvx2Kernels(H264DecKernelTable* table);
const H264McFn* H264Avx2Chroma2x2();

// SSE2 kernels of the deblocking decisions (edge strengths).
void H264InstallSse2DeblockKernels(H264DecKernelTable* table);
// SSE2 Intra_8x8 kernels.
void H264InstallSse2IntraKernels(H264DecKernelTable* table);
// AVX2 luma and chroma edge filters.
void H264InstallAvx2DeblockKernels(H264DecKernelTable* table);
