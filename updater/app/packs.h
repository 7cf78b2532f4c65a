// Expansion and resource packs: the worker of run modes 1 and 2 finds the
// pack's installer in update.ini, reads the countdown from the patch list,
// downloads the installer through the downloader core; on 2029 the dialog's
// thread runs it and, when it ends with 0, completes like an update.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "updater/app/install.h"
#include "updater/app/session.h"

namespace kestra::ui {
class Dialog;
}

namespace kestra::app {

class CkestraDlg;

inline constexpr int kPackListConnectTimeoutS = 15;
inline constexpr int kPackListDataTimeoutS = 60;

struct PackDescriptor {
  std::string section;
  std::string display_name;
  std::string installer_url;
  std::string check_file;
};

// Type code 1: "SdExp", 2..9: "HdExp". False when the section names no check
// file or the check file exists in the installation.
bool FindExpansionPack(int type_code, PackDescriptor& pack);
// Type code -1: "SdRes", other negative codes "HdRes"; always found.
PackDescriptor FindResourcePack(int type_code);

// The pack worker.
void RunPackFlow(ui::Dialog& dialog, SessionState& state, const SessionServices& services,
                 int type_code, int run_mode);

// Runs the installer: the whole path is the command line, the install root
// the current directory; waits for it. Its exit code, or -1 when it could not
// be started or waited for.
using InstallerRunner = std::function<int(const std::string& installer_path)>;
int RunInstallerProgram(const std::string& installer_path);

// 2029 on the dialog's thread.
void InstallPack(CkestraDlg& dialog, SessionState& state, const InstallServices& services,
                 const InstallerRunner& run_installer);

}  // namespace kestra::app
