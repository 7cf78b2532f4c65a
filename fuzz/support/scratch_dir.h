// One private directory per fuzz process, for parsers that read files.
#pragma once

#include <string>

#include "platform/fs.h"

namespace kestra::fuzz {

// Made on first use under the temporary directory; the fuzzer never ends
// normally, so it is left for the system's cleaning of temporary files.
inline const std::string& ScratchDir() {
  static const std::string dir = platform::fs::MakeTempDirectory("kestra-fuzz-");
  return dir;
}

}  // namespace kestra::fuzz
