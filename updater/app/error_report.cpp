#include "updater/app/error_report.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/shell.h"
#include "updater/config/endpoints.h"

namespace kestra::app {
namespace {

constexpr UpdateErrorRow kErrorTable[] = {
    {11, "网络错误", "检查网络连接是否正常"},
    {12, "网络错误", "检查网络连接是否正常"},
    {21, "Vandor正在运行", "退出已运行的Vandor客户端后再尝试更新"},
    {22, "Vandor正在运行", "退出已运行的Vandor客户端后再尝试更新"},
    {23, "Vandor正在运行", "退出已运行的Vandor客户端后再尝试更新"},
};

constexpr char kErrorFormat[] =
    "%s\n\n编号：%d\n疑为：%s\n请您：%s\n是否访问Vand客服专区查看详细帮助信息？";
constexpr char kErrorCaption[] = "Vandor更新失败";
constexpr char kRepairQuestion[] = "更新过程发生错误，是否启动客户端修复工具进行修复？";
constexpr char kRepairCaption[] = "提示";
constexpr char kRepairFailed[] = "启动修复工具失败";
constexpr char kRepairFailedCaption[] = "错误";

std::vector<std::string> SplitAtBlanks(std::string_view line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) words.emplace_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

}  // namespace

const UpdateErrorRow* FindUpdateError(int number) {
  for (const UpdateErrorRow& row : kErrorTable)
    if (row.number == number) return &row;
  return nullptr;
}

std::string UpdateErrorText(int number, std::string_view message) {
  const UpdateErrorRow* row = FindUpdateError(number);
  std::string text(message.substr(0, message.find('\0')));
  char buffer[kErrorTextBuffer];
  std::snprintf(buffer, sizeof buffer, kErrorFormat, text.c_str(), number,
                row ? row->cause : "", row ? row->advice : "");
  return buffer;
}

void ShowUpdateError(int number, std::string_view message, const controls::UrlOpener& open) {
  ui::Answer answer = ui::MessageBox(nullptr, UpdateErrorText(number, message), kErrorCaption,
                                     ui::Buttons::OKCancel, ui::Icon::None);
  if (answer != ui::Answer::OK) return;
  std::string url = config::endpoints::HelpPageUrl();
  ui::CurrentFrontend().UrlOpened(url);
  if (open) {
    open(url);
  } else {
    platform::shell::OpenUrl(url);
  }
}

std::string RepairCommandLine(std::string_view directory) {
  if (directory.size() > kMaxRepairDirectory || directory.find('\0') != std::string_view::npos)
    return "";
  char buffer[kRepairCommandBuffer];
  std::string dir(directory);
  std::snprintf(buffer, sizeof buffer, "VdRepair.exe __quick_repair_mode__ %s", dir.c_str());
  return buffer;
}

void OfferRepair(ui::Dialog& dialog, const ProgramStarter& start) {
  if (dialog.MessageBox(kRepairQuestion, kRepairCaption, ui::Buttons::YesNo, ui::Icon::None) !=
      ui::Answer::Yes)
    return;
  std::string directory = platform::fs::CurrentDirectory();
  std::string command = RepairCommandLine(directory);
  bool started = false;
  if (!command.empty()) {
    std::vector<std::string> argv = SplitAtBlanks(command);
    started = start ? start(kRepairProgram, argv, directory)
                    : platform::shell::StartDetached(kRepairProgram, argv, directory);
  }
  if (!started)
    dialog.MessageBox(kRepairFailed, kRepairFailedCaption, ui::Buttons::OK, ui::Icon::Error);
}

}  // namespace kestra::app
