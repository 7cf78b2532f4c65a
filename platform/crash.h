// Crash handling of the downloader core: fatal signals (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGABRT), std::terminate and allocation failure write a
// crash file with a stack trace, tell the user, optionally hand the file to a
// report sender, and end the process at once with exit code 0.
//
// The crash file is "zelt-%Y%m%d-%H%M%S[27233]-D.dmp" in the directory given
// to Install, D the first digit 0-9 whose name is free.
#pragma once

#include <cstdint>
#include <string>

namespace platform::crash {

// Codes the message shows for causes that are not signals (signals show
// their number).
inline constexpr unsigned kCodeTerminate = 0xE0000001;
inline constexpr unsigned kCodeOutOfMemory = 0xE0000002;

// Called with the crash file's path when sending is on. It runs inside the
// crash handler: keep it short.
using ReportHook = void (*)(const char* crash_file_path, void* context);

// directory: where crash files go (kept with a trailing "/").
bool Install(const std::string& directory);
// The two switches: show the message (on the standard error stream, the
// console of this program), and hand the file to the report hook.
void SetSwitches(bool show_message, bool send_report);
void SetReportHook(ReportHook hook, void* context);
// Restores what was there before Install.
void Remove();

struct Stamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// The file name for a crash at the stamp in the directory: the first of the
// digits 0-9 whose file does not exist yet; empty when all ten exist (the
// older crash files are kept).
std::string ChooseFileName(const std::string& directory, const Stamp& stamp);

// The message for a written crash file, and the one without a file.
std::string MessageText(const std::string& directory, const std::string& file_name, unsigned code,
                        const void* address);
std::string ShortMessageText(unsigned code, const void* address);

// Caption of the message.
inline constexpr const char* kCaption = "异常错误";

}  // namespace platform::crash
