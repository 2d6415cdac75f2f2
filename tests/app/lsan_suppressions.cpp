// Leaks of system libraries that Qt loads (fontconfig keeps its caches to the end); ours are still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
