// The interface of the logging component "p2plog", a shared library that the
// downloader core loads by name when it is present.
//
// The library exports two functions with C linkage:
//   "Create"  (const char* file_name, int flags, int max_old_logs) -> IP2PLog*
//   "Release" (IP2PLog*)
// The core creates one logger, writes every line through Log and releases the
// logger at its end. Both sides are compiled from this header, so the order
// of the operations below is the contract: Log is the second, SetLevel the
// tenth operation.
#pragma once

#include <cstdarg>

namespace zelt::p2plog {

class IP2PLog {
 public:
  virtual ~IP2PLog() = default;                                      // 1
  // One line at a level (0 most severe ... 5 trace), printf-style.
  virtual void Log(int level, const char* format, std::va_list args) = 0;  // 2
  // Writes out what is buffered.
  virtual void Flush() = 0;                                         // 3
  virtual int GetLevel() const = 0;                                 // 4
  // Lines written since Create.
  virtual unsigned long LineCount() const = 0;                      // 5
  // Also copy every line to the standard error stream.
  virtual void SetEcho(bool echo) = 0;                              // 6
  virtual bool GetEcho() const = 0;                                 // 7
  // The file the lines go to (empty when none could be opened).
  virtual const char* FileName() const = 0;                         // 8
  // True when the log file is open.
  virtual bool IsOpen() const = 0;                                  // 9
  // Lines above this level are dropped.
  virtual void SetLevel(int level) = 0;                             // 10
};

using CreateFunction = IP2PLog* (*)(const char* file_name, int flags, int max_old_logs);
using ReleaseFunction = void (*)(IP2PLog* log);

// Name of the component as the core asks for it (see platform/dynlib.h).
inline constexpr const char* kComponentName = "p2plog";
// Accepted file version: the first two fields.
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 0;

}  // namespace zelt::p2plog
