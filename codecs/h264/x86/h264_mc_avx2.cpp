// AVX2 motion compensation kernels (see h264_mc_vector.h).
#include "codecs/h264/x86/h264_mc_vector.h"

void H264InstallAvx2Kernels(H264DecKernelTable* table) { InstallMc(table); }

const H264McFn* H264Avx2Chroma2x2() { return kChromaMc2x2; }
