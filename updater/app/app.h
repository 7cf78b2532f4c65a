// Start-up of the updater: the command line, the context, the log, the
// dialog, and the one setting written at the end.
#pragma once

#include <string>
#include <string_view>

namespace kestra::app {

enum class ParseStatus {
  Ok,
  ParameterError,  // "自动更新参数错误!" is shown
  Silent,          // the type code is not hexadecimal: end without a word
};

struct ParsedArguments {
  ParseStatus status = ParseStatus::Ok;
  int type_code = 0;
  int run_mode = 0;  // 0 patch update, 1 expansion pack, 2 resource pack
  std::string directory;
  int micro_argument = -1;
};

// The argument text is what follows the program name on the command line.
ParsedArguments ParseArguments(std::string_view argument_text);

// Rebuilds the argument text from argv (arguments with blanks are quoted, as
// the launcher wrote them).
std::string ArgumentText(int argc, const char* const* argv);

// Install root and download directory of a directory token.
std::string InstallRootOf(std::string_view directory);
std::string DownloadDirectoryOf(std::string_view directory);

class CkestraApp {
 public:
  // The start-up routine; false: no message loop follows (always).
  bool InitInstance(std::string_view argument_text);

  int type_code() const { return type_code_; }
  int run_mode() const { return run_mode_; }

 private:
  int type_code_ = 0;
  int run_mode_ = 0;
};

// The process's application object (the dialog reads the type code).
CkestraApp& TheApp();

}  // namespace kestra::app
