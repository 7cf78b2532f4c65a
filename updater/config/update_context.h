// The process-wide record that start-up fills once; everything else only reads
// it (workers start after it is complete).
#pragma once

#include <cstdint>
#include <string>

namespace kestra {

struct UpdateContext {
  std::string install_root;         // directory token + "/"
  std::string download_directory;   // directory token + "\\download"
  std::string client_program = "vd.exe";
  int micro_argument = -1;          // third token, -1 when missing
  std::uint32_t resource_set_flags = 0;  // bit 0 base set, bit 1 "hdres"
  std::uint32_t update_version = 0;
  int sub_version = 0;
  int micro_flag = 0;
  std::uint32_t base_resource_version = 0;
  std::uint32_t hd_resource_version = 0;
};

// The record itself; start-up writes it through MutableContext() before the
// dialog exists.
const UpdateContext& Context();
UpdateContext& MutableContext();

}  // namespace kestra
