// Small string, memory, file, thread and socket helpers of the SDK.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {
class Thread;
}

// calloc for the SDK's plain-function modules (released with free).
void* MemCalloc(size_t count, size_t size);
// realloc for the SDK's plain-function modules (released with free).
void* MemRealloc(void* block, size_t size);
// Heap copy of text (released with free); null stays null.
char* StrDup(const char* text);
// Heap copy of the first n characters of text (fewer when it ends first), terminated; null stays null.
char* StrNDup(const char* text, size_t n);
// Last position in text of any character of set; null when none, for an empty text or a null argument.
const char* StrRFindAny(const char* text, const char* set);
// Copies at most size - 1 characters of src into dst and terminates; a size below 2 gives an empty dst.
void StrCopyN(char* dst, const char* src, size_t size);
// fopen that, for a mode with "w" or "a", first makes every missing folder of the path ("/" separated, the
// first 255 characters); null when a folder cannot be made or the file cannot be opened.
FILE* FopenMkdirs(const char* path, const char* mode);
// Waits without limit for the thread to end and returns its exit code.
uint32_t JoinThread(platform::Thread& thread);
// FIONBIO on the socket: non-zero value makes it non-blocking; 0 or -1 like ioctl.
int SockIoctlFionbio(int sock, int value);
// SO_LINGER {on, seconds} on the socket; 0 or -1 like setsockopt.
int SockSetLinger(int sock, int on, int seconds);
