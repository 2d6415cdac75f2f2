// Defines the rvlib_RVP_ twin of an RVS_ export (in the export's own file).
#pragma once

#define RVS_ALIAS(ret, name, args) ret rvlib_RVP_##name args __attribute__((alias("RVS_" #name)));
