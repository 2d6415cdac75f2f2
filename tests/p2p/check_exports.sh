#!/bin/sh
# Checks that the program exports the P2P library's 48 entry points.
set -eu
exe=$1
names=$(nm -D --defined-only "$exe" | awk '{print $3}')
missing=0
count=0
for n in GetAPIVersion GetAPIInformation Initialize DeInitialize NetworkDetect NetworkDetectByServer \
         Connect ConnectByServer Connect_Break Listen Listen_Break LoginStatus_Check Check Close ForceClose \
         Write Read Check_Buffer PktSend PktRecv QueryDID Share_Bandwidth Enable_SmartDevice; do
  for s in "RVS_$n" "rvlib_RVP_$n"; do
    if printf '%s\n' "$names" | grep -qx "$s"; then count=$((count + 1)); else echo "missing export $s"; missing=1; fi
  done
done
# The two workers keep their C++ names, which encode their argument types.
for s in _Z20rvlib_RVP_Connect_DoPciS_ctS_PKc _Z19rvlib_RVP_Listen_DoPciS_jtcPKc; do
  if printf '%s\n' "$names" | grep -qx "$s"; then count=$((count + 1)); else echo "missing export $s"; missing=1; fi
done
# Nothing else of the library leaks out.
leaked=$(printf '%s\n' "$names" | grep 'RVP_' | grep -v 'rvlib_RVP_' || true)
if [ -n "$leaked" ]; then echo "internal symbols exported: $leaked"; missing=1; fi
echo "$count of 48 exports found"
[ "$missing" -eq 0 ] && [ "$count" -eq 48 ]
