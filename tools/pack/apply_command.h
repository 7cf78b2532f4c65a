// "kestra-pack apply": fills the updater's context from an installation the
// way start-up does and applies one package with the process's frontend.
#pragma once

#include <cstdint>
#include <string>

namespace kestra::pack {

struct ApplyOptions {
  std::string root;          // the installation directory (without the "/")
  std::string package;       // path of the package file
  std::uint32_t version = 0;
  int micro_argument = -1;
  long flags_override = -1;  // -1: probe the resource sets like start-up
  std::string log_dir;       // empty: the installation (its "Log" folder)
};

bool RunApply(const ApplyOptions& options);

}  // namespace kestra::pack
