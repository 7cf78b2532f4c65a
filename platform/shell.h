// Opening web links and starting programs the way a desktop shell does.
//
// Results of the open functions follow the convention of the system's shell:
// a value greater than 32 means success, smaller values name the failure
// (2 file not found, 5 access denied, 8 out of memory, 11 bad program,
// 31 no program is associated with web pages).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::shell {

inline constexpr int kOpenSucceeded = 42;
inline constexpr int kOpenFileNotFound = 2;
inline constexpr int kOpenAccessDenied = 5;
inline constexpr int kOpenOutOfMemory = 8;
inline constexpr int kOpenBadProgram = 11;
inline constexpr int kOpenNoAssociation = 31;

// How long the desktop's opener may take before we count it as started.
inline constexpr int kOpenerWaitMs = 5000;
// Longest url or command text we pass on.
inline constexpr std::size_t kMaxCommandText = 4096;

// Opens url in the player's web browser: first through the desktop's opener
// (xdg-open), then through the program registered for web pages. Returns the
// result of the last way tried.
int OpenUrl(std::string_view url);

// The two ways, one at a time.
int OpenWithDesktopOpener(std::string_view url, int wait_ms = kOpenerWaitMs);
// The command text of the program registered for web pages (the Exec line of
// the desktop entry that "xdg-mime query default text/html" names), or
// nullopt when none can be found.
std::optional<std::string> RegisteredWebHandler();
// The command line for a handler's command text: the text is cut at "\"%1\"",
// else at "%1", else at the first desktop field code (%u %U %f %F), and a
// blank and the url are appended.
std::string HandlerCommandLine(std::string_view command, std::string_view url);
// Starts the command line (words split at blanks, double quotes group) without
// waiting for it; returns a result code as above.
int RunCommandLine(std::string_view command_line);

// Starts program with the arguments argv (argv[0] included) in directory
// without waiting for it and without keeping it as our child. A program name
// without a separator is looked up in directory, not in PATH. Returns true
// when the program was started.
bool StartDetached(std::string_view program, const std::vector<std::string>& argv,
                   std::string_view directory);

}  // namespace platform::shell
