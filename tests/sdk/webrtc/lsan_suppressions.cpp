// GLib keeps one-time allocations of its own (type system, thread pools) until exit, with no unwindable
// stack.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\n";
}
