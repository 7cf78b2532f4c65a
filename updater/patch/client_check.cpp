#include "updater/patch/client_check.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/clock.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "updater/config/update_context.h"
#include "updater/log/log.h"
#include "updater/ui/dialog.h"

namespace kestra::patch {

const char* const kResourceArchives[kResourceArchiveCount] = {
    "data.paz",    "data1.paz",    "data2.paz",    "data3.paz",   "data4.paz",
    "model.paz",   "model1.paz",   "model2.paz",   "model3.paz",  "texture.paz",
    "texture1.paz", "texture2.paz", "texture3.paz", "sound.paz",  "sound1.paz",
    "effect.paz",  "map.paz",      "map1.paz",     "ui.paz",      "script.paz",
    "music.paz",
};

std::string_view ResourceSetFolder(int index) { return index == 1 ? "hdres" : ""; }

namespace {

std::string Folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return out;
}

std::string ProgramList(const std::vector<std::string>& names) {
  std::string text =
      "发现运行的客户端有程序正在运行，请关闭以下程序后再点击“重试”按钮完成更新操作：\n";
  for (const auto& n : names) text += "\n" + n;
  return text;
}

}  // namespace

bool IsPathInside(std::string_view path, std::string_view directory) {
  std::string p = Folded(path);
  std::string d = Folded(directory);
  if (d.empty() || d.back() != '\\') d += '\\';
  if (d.size() >= 2 && d[d.size() - 2] == '\\') d.pop_back();
  return p.compare(0, d.size(), d) == 0;
}

bool FindClientPrograms(std::string_view install_root, std::vector<std::string>& names) {
  names.clear();
  for (const auto& proc : platform::process::ListProcesses()) {
    if (proc.exe_path.empty()) continue;  // cannot be opened or read
    if (IsPathInside(proc.exe_path, install_root)) names.push_back(proc.exe_name);
  }
  return !names.empty();
}

bool WaitForClientPrograms(ui::Dialog* dialog, const ClientWaitOptions& options) {
  auto find = options.find;
  if (!find) {
    find = [](std::vector<std::string>& names) {
      return FindClientPrograms(Context().install_root, names);
    };
  }
  std::vector<std::string> names;
  if (!find(names)) return true;
  for (int i = 0; i < options.quiet_checks; ++i) {
    platform::clock::SleepMs(static_cast<std::uint32_t>(options.wait_ms));
    if (dialog != nullptr) dialog->PumpMessages();
    if (!find(names)) return true;
  }
  for (;;) {
    ui::Answer answer = ui::MessageBox(dialog, ProgramList(names), "错误",
                                       ui::Buttons::RetryCancel, ui::Icon::None);
    if (answer != ui::Answer::Retry) {
      LogError("客户端有程序正在运行");
      return false;
    }
    if (!find(names)) return true;
  }
}

std::uint32_t CheckResourceSetsWith(std::string_view dir, const int (&indices)[5]) {
  std::uint32_t flags = 0;
  for (int set = 0; set < 2; ++set) {
    std::uint32_t bit = 1;
    std::string_view folder = ResourceSetFolder(set);
    for (int index : indices) {
      const char* archive = kResourceArchives[index % kResourceArchiveCount];
      std::string path = std::string(dir) + "/";
      if (!folder.empty()) path += std::string(folder) + "/";
      path += archive;
      // The texts and the path are GBK; the terminal that shows them reads UTF-8.
      std::string line = "正在检查文件 " + path;
      platform::fs::File file;
      const bool opened =
          file.Open(path, platform::fs::Access::Read, platform::fs::Disposition::OpenExisting);
      line += opened ? "...成功" : "...失败";
      std::printf("%s\n", platform::charset::GbkToUtf8(line).c_str());
      if (!opened) {
        bit = 0;
        break;
      }
    }
    flags |= bit << set;
  }
  std::fflush(stdout);
  return flags;
}

std::uint32_t CheckResourceSets(std::string_view dir) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  int indices[5];
  for (int& i : indices) i = std::rand() % kResourceArchiveCount;
  return CheckResourceSetsWith(dir, indices);
}

}  // namespace kestra::patch
