// The updater's log: one file per run in the installation's "Log" folder.
// Any thread may log; one lock serialises channel set-up, lines and the error
// callbacks (which run under it and must not log themselves).
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace kestra::log {

// Must come before the first use; the updater passes its install root.
void SetLogBaseDir(std::string_view directory);

// Opens a channel on a log file of the Log folder (shared by name). id -1
// takes the smallest free id from 1 to 255. Returns the id, or -1 when the id
// is taken or the file cannot be opened.
int OpenChannel(int id, std::string_view file_name, std::string_view channel_name);

using ErrorCallback = void (*)(const char* format, va_list args);
// Adds fn to the channel's callbacks unless it is already there.
void AddErrorCallback(int id, ErrorCallback fn);

void Info(int id, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Error(int id, const char* format, ...) __attribute__((format(printf, 2, 3)));
void VInfo(int id, const char* format, va_list args);
void VError(int id, const char* format, va_list args);

// Flushes and closes every file (done at exit; tests call it to read files).
void CloseAll();

}  // namespace kestra::log

// The updater's two logging calls, on channel 0.
void LogInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));
