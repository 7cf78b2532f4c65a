// The numbered error message that ends a failed update, and the offer to
// start the game's repair tool.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "updater/app/controls/hyperlink.h"
#include "updater/ui/dialog.h"

namespace kestra::app {

inline constexpr std::size_t kErrorTextBuffer = 1024;
inline constexpr std::size_t kRepairCommandBuffer = 256;
inline constexpr std::size_t kMaxRepairDirectory = 220;
inline constexpr char kRepairProgram[] = "VdRepair.exe";

struct UpdateErrorRow {
  int number;
  const char* cause;
  const char* advice;
};

// The row of a number; null when the table has none.
const UpdateErrorRow* FindUpdateError(int number);

// The text of the error message, cut to the 1,024-byte buffer (an unknown
// number shows empty cause and advice).
std::string UpdateErrorText(int number, std::string_view message);

// Shows the error message without owner (caption "Vandor更新失败", OK and
// Cancel); OK opens the help page. Any thread.
void ShowUpdateError(int number, std::string_view message,
                     const controls::UrlOpener& open = {});

// How the repair tool is started: program, argv and directory (tests swap it).
using ProgramStarter = std::function<bool(std::string_view program,
                                          const std::vector<std::string>& argv,
                                          std::string_view directory)>;

// "VdRepair.exe __quick_repair_mode__ DIR" with DIR the current directory,
// empty when the directory does not fit the command line.
std::string RepairCommandLine(std::string_view directory);

// Asks whether to start the repair tool (owned by dialog) and starts it from
// the current directory without waiting; a failed start is reported.
void OfferRepair(ui::Dialog& dialog, const ProgramStarter& start = {});

}  // namespace kestra::app
