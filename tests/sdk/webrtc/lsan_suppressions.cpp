// GLib keeps one-time allocations of its own (type system, thread pools) until exit, with no unwindable
// stack; so does OpenSSL on the threads of GStreamer's DTLS elements (the layer calls no OpenSSL itself).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libcrypto.so\n";
}
