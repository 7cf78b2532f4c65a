#include "updater/app/app.h"

#include <cstdlib>
#include <ctime>

#include "updater/app/strings.h"
#include "updater/config/scan.h"
#include "updater/config/settings.h"
#include "updater/config/update_context.h"
#include "updater/log/client_log_reporter.h"
#include "updater/log/log.h"
#include "updater/patch/client_check.h"
#include "updater/ui/dialog.h"

namespace kestra::app {
namespace {

constexpr const char* kParameterError = "自动更新参数错误!";
constexpr const char* kErrorCaption = "错误";

// A token starting at pos: quoted up to the next quote, or up to the next
// blank. Sets next to where the following token starts.
bool TakeToken(const std::string& text, std::size_t pos, std::string& token, std::size_t& next) {
  if (pos < text.size() && text[pos] == '"') {
    std::size_t close = text.find('"', pos + 1);
    if (close == std::string::npos) return false;
    token = text.substr(pos + 1, close - pos - 1);
    next = close + 2;
    return true;
  }
  std::size_t blank = text.find(' ', pos);
  if (blank == std::string::npos || pos > text.size()) return false;
  token = text.substr(pos, blank - pos);
  next = blank + 1;
  return true;
}

void ShowError(const char* text) {
  ui::MessageBox(nullptr, text, kErrorCaption, ui::Buttons::OK, ui::Icon::Error);
}

}  // namespace

ParsedArguments ParseArguments(std::string_view argument_text) {
  ParsedArguments r;
  std::string text(argument_text);
  text += ' ';

  std::size_t blank = text.find(' ');
  if (blank == std::string::npos) {
    r.status = ParseStatus::ParameterError;
    return r;
  }
  std::size_t pos = 0;
  if (!config::ScanHex(std::string_view(text).substr(0, blank), pos, r.type_code)) {
    r.status = ParseStatus::Silent;
    return r;
  }
  if (r.type_code >= 1 && r.type_code <= 9) r.run_mode = 1;
  else if (r.type_code < 0) r.run_mode = 2;

  std::size_t next = 0;
  if (blank + 1 > text.size() || !TakeToken(text, blank + 1, r.directory, next)) {
    r.status = ParseStatus::ParameterError;
    return r;
  }
  std::string micro;
  std::size_t after = 0;
  if (next <= text.size() && TakeToken(text, next, micro, after)) {
    int value = 0;
    std::size_t pos = 0;
    if (config::ScanDecimal(micro, pos, value)) r.micro_argument = value;
  }
  return r;
}

std::string ArgumentText(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (i > 1) text += ' ';
    if (arg.empty() || arg.find_first_of(" \t") != std::string_view::npos) {
      text += '"';
      text += arg;
      text += '"';
    } else {
      text += arg;
    }
  }
  return text;
}

std::string InstallRootOf(std::string_view directory) { return std::string(directory) + "/"; }

std::string DownloadDirectoryOf(std::string_view directory) {
  std::string d(directory);
  std::size_t last = d.rfind('\\');
  if (last != 0) d += '\\';  // also when there is no backslash at all
  return d + LoadText(kTextDownloadFolder);
}

bool CkestraApp::InitInstance(std::string_view argument_text) {
  // 1. Sockets need no initialisation here; text 103 stays in the table.
  UpdateContext& context = MutableContext();
  context.client_program = "vd.exe";
  context.micro_argument = -1;

  if (argument_text.empty()) {
    ShowError(LoadText(kTextRunMainUpdater).c_str());
    return false;
  }
  ParsedArguments args = ParseArguments(argument_text);
  if (args.status == ParseStatus::ParameterError) {
    ShowError(kParameterError);
    return false;
  }
  if (args.status == ParseStatus::Silent) return false;
  type_code_ = args.type_code;
  run_mode_ = args.run_mode;

  context.install_root = InstallRootOf(args.directory);
  context.resource_set_flags = patch::CheckResourceSets(args.directory);
  context.download_directory = DownloadDirectoryOf(args.directory);
  context.micro_argument = args.micro_argument;

  context.update_version = config::ReadVersion("");
  context.sub_version = config::ReadSubVersion();
  context.micro_flag = config::ReadMicroFlag();
  context.base_resource_version = config::ReadVersion("res.ini");
  context.hd_resource_version = config::ReadVersion("hdres/res.ini");

  log::SetLogBaseDir(context.install_root);
  log::OpenChannel(0, "kestra.log", "KestraTool");
  log::Reporter().SetAppName("kestra3");
  log::AddErrorCallback(0, log::ForwardErrorToReporter);

  std::srand(static_cast<unsigned>(std::time(nullptr)));

  // The main dialog runs here once the window is part of the build.

  if (context.micro_flag != 0) config::WriteSetting("", "Setting", "MICROVER", "1");
  return false;
}

CkestraApp& TheApp() {
  static CkestraApp app;
  return app;
}

}  // namespace kestra::app
