// The process-wide log: a console stream and, once opened, a log file that keeps its newer half when it grows
// past its maximum. Before LogOpen messages of level 4 and below go to the console only.
#pragma once

#include <cstddef>
#include <cstdio>

// Message levels; a message is written when (level & 0x7FFF) is at most the set level.
enum LogLevel : int { kLogError = 1, kLogWarning = 2, kLogInfo = 4, kLogDetail = 5 };
// Added to a level: no "[time] [tag] " prefix and no separating newline.
constexpr int kLogNoPrefix = 0x8000;
// Sink flags of LogOpen.
constexpr int kLogToFile = 1;
constexpr int kLogToConsole = 2;
// Room for LogFormatTime's text.
constexpr size_t kLogTimeTextSize = 32;

// Sets the highest level written (4 at start).
void LogSetLevel(int level);
// Sets the sinks: with kLogToFile opens path anew (empty) as the log file, max_size its trimming threshold in
// bytes (0 keeps the previous one; never trimmed while 0); without it closes an open log file.
void LogOpen(int flags, const char* path, int max_size);
// Writes one message, "[MM-DD hh:mm:ss.ffff] [tag] " then the formatted text, to the file, then to stream
// (null: stdout) when kLogToConsole is set; begins with "\n" when the previous format did not end with one.
void LogPrintf(int level, FILE* stream, const char* tag, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Like LogPrintf with length raw bytes for the message; the next message starts on a new line.
void LogWrite(int level, FILE* stream, const char* tag, const void* data, size_t length);
// Writes the local time as "MM-DD hh:mm:ss.ffff" (milliseconds and a 0) into out; returns its length.
int LogFormatTime(char* out, size_t size);
// Moves the bytes after half the maximum to the front of the log file when it has passed its maximum.
void LogTrimFile();
// Does nothing.
void SdkNoop();
