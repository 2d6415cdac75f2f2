// Awaited device and network operations run off the GUI thread: the window keeps painting and takes posted
// messages and timers, while user input is dropped and the wait cursor shows.
#pragma once

#include <functional>

// Runs op on a worker thread and waits for it in a local event loop; returns op's result. Without a
// QApplication, or when called from another thread than the GUI thread, op simply runs here.
int RunBlocking(const std::function<int()>& op);
// True while a RunBlocking wait is in progress on the GUI thread.
bool IsBlocking();
