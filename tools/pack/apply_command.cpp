#include "tools/pack/apply_command.h"

#include <cstdio>

#include "platform/fs.h"
#include "updater/config/settings.h"
#include "updater/config/update_context.h"
#include "updater/log/log.h"
#include "updater/patch/apply_package.h"
#include "updater/patch/client_check.h"
#include "updater/patch/patch_ui.h"

namespace kestra::pack {

bool RunApply(const ApplyOptions& options) {
  UpdateContext& context = MutableContext();
  context.install_root = options.root + "/";
  context.micro_argument = options.micro_argument;
  context.resource_set_flags = options.flags_override >= 0
                                   ? static_cast<std::uint32_t>(options.flags_override)
                                   : patch::CheckResourceSets(options.root);
  context.update_version = config::ReadVersion("update.ini");
  context.sub_version = config::ReadSubVersion();
  context.micro_flag = config::ReadMicroFlag();
  context.base_resource_version = config::ReadVersion("res.ini");
  context.hd_resource_version = config::ReadVersion("hdres/res.ini");

  if (!options.log_dir.empty()) platform::fs::MakeDirectories(options.log_dir);
  log::SetLogBaseDir(options.log_dir.empty() ? context.install_root : options.log_dir + "/");
  log::OpenChannel(0, "kestra.log", "KestraTool");

  const std::size_t slash = options.package.find_last_of("/\\");
  const std::string directory =
      slash == std::string::npos ? std::string(".") : options.package.substr(0, slash);
  const std::string file_name =
      slash == std::string::npos ? options.package : options.package.substr(slash + 1);
  context.download_directory = directory;

  patch::PlainPatchUi ui;
  const bool ok = patch::ApplyPackage(file_name, options.version, directory,
                                      context.install_root, ui);
  log::CloseAll();
  return ok;
}

}  // namespace kestra::pack
