// SSSE3 motion compensation kernels (see h264_mc_vector.h).
#include "codecs/h264/x86/h264_mc_vector.h"

void H264InstallSsse3Kernels(H264DecKernelTable* table) { InstallMc(table); }

const H264McFn* H264Ssse3Chroma2x2() { return kChromaMc2x2; }
