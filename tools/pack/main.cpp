// kestra-pack: the release engineers' tool for patch packages.
//
//   kestra-pack make --old DIR --new DIR --version X.Y.Z [--micro N]
//                    [--magic DU1T|ZB1T] [--move-list FILE] [-o FILE]
//   kestra-pack list --version X.Y.Z FILE
//   kestra-pack apply --root DIR [--micro N] [--flags N] [--log-dir DIR]
//                     --version X.Y.Z FILE
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/charset.h"
#include "tools/pack/apply_command.h"
#include "tools/pack/package_builder.h"
#include "updater/config/settings.h"
#include "updater/patch/bz_update_helper.h"
#include "updater/patch/package_format.h"

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  kestra-pack make --old DIR --new DIR --version X.Y.Z [--micro N]\n"
    "                   [--magic DU1T|ZB1T] [--move-list FILE] [-o FILE]\n"
    "  kestra-pack list --version X.Y.Z FILE\n"
    "  kestra-pack apply --root DIR [--micro N] [--flags N] [--log-dir DIR]\n"
    "                    --version X.Y.Z FILE\n";

struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

bool Parse(int argc, char** argv, const std::vector<std::string_view>& known, Arguments& out) {
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    bool matched = false;
    for (std::string_view name : known) {
      if (arg != name) continue;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kestra-pack: %s needs a value\n", argv[i]);
        return false;
      }
      out.options[std::string(name)] = argv[++i];
      matched = true;
      break;
    }
    if (matched) continue;
    if (arg.starts_with("-")) {
      std::fprintf(stderr, "kestra-pack: unknown option %s\n", argv[i]);
      return false;
    }
    out.positional.emplace_back(arg);
  }
  return true;
}

bool ParseInt(const std::string& text, long& value) {
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 0);
  return !text.empty() && end != nullptr && *end == '\0';
}

bool VersionOption(const Arguments& args, std::uint32_t& version) {
  const auto found = args.options.find("--version");
  if (found == args.options.end()) {
    std::fputs("kestra-pack: --version X.Y.Z is required\n", stderr);
    return false;
  }
  version = kestra::config::ParseVersion(found->second);
  if (version == 0) {
    std::fprintf(stderr, "kestra-pack: bad version %s\n", found->second.c_str());
    return false;
  }
  return true;
}

bool IntOption(const Arguments& args, const char* name, long& value) {
  const auto found = args.options.find(name);
  if (found == args.options.end()) return true;
  if (!ParseInt(found->second, value)) {
    std::fprintf(stderr, "kestra-pack: %s needs a number\n", name);
    return false;
  }
  return true;
}

int Make(int argc, char** argv) {
  Arguments args;
  if (!Parse(argc, argv, {"--old", "--new", "--version", "--micro", "--magic", "--move-list", "-o"},
             args))
    return 2;
  kestra::pack::BuildOptions options;
  long micro = 0;
  if (!VersionOption(args, options.version) || !IntOption(args, "--micro", micro)) return 2;
  if (args.options.count("--old") == 0 || args.options.count("--new") == 0 ||
      !args.positional.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  options.old_dir = args.options["--old"];
  options.new_dir = args.options["--new"];
  options.micro = static_cast<int>(micro);
  if (args.options.count("--magic") != 0) options.magic = args.options["--magic"];
  if (args.options.count("--move-list") != 0) options.move_list_file = args.options["--move-list"];
  if (args.options.count("-o") != 0) options.output = args.options["-o"];

  kestra::pack::BuildReport report;
  std::string error;
  if (!kestra::pack::BuildPackage(options, report, error)) {
    std::fprintf(stderr, "kestra-pack: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %d added, %d modified, %d deleted, %d moved\n", report.output.c_str(),
              report.added, report.modified, report.deleted, report.moved);
  return 0;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int List(int argc, char** argv) {
  Arguments args;
  if (!Parse(argc, argv, {"--version"}, args)) return 2;
  std::uint32_t version = 0;
  if (!VersionOption(args, version)) return 2;
  if (args.positional.size() != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string& path = args.positional[0];
  kestra::patch::BzUpdateHelper reader;
  if (!reader.Open(version, BaseName(path), path)) {
    std::fprintf(stderr, "%s\n", platform::charset::GbkToUtf8(reader.error_text()).c_str());
    return 1;
  }
  for (;;) {
    const std::uint8_t* record = reader.ReadSection();
    if (record == nullptr) {
      if (reader.end_flag()) return 0;
      std::fflush(stdout);
      std::fprintf(stderr, "%s\n", platform::charset::GbkToUtf8(reader.error_text()).c_str());
      return 1;
    }
    const kestra::patch::SectionView section = kestra::patch::ViewSection(record);
    std::string kind;
    if (section.kind == kestra::patch::kKindModi) {
      kind = "MODI";
    } else if (section.kind == kestra::patch::kKindAddf) {
      kind = "ADDF";
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08X", section.kind);
      kind = hex;
    }
    std::printf("%s\t%.*s\t%u\n", kind.c_str(), static_cast<int>(section.name.size()),
                section.name.data(), section.data_length);
  }
}

int Apply(int argc, char** argv) {
  Arguments args;
  if (!Parse(argc, argv, {"--root", "--micro", "--version", "--flags", "--log-dir"}, args))
    return 2;
  kestra::pack::ApplyOptions options;
  long micro = -1;
  long flags = -1;
  if (!VersionOption(args, options.version) || !IntOption(args, "--micro", micro) ||
      !IntOption(args, "--flags", flags))
    return 2;
  if (args.options.count("--root") == 0 || args.positional.size() != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  options.root = args.options["--root"];
  options.micro_argument = static_cast<int>(micro);
  options.flags_override = flags;
  options.log_dir = args.options.count("--log-dir") ? args.options["--log-dir"] : std::string();
  options.package = args.positional[0];
  return kestra::pack::RunApply(options) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string_view command = argv[1];
  if (command == "make") return Make(argc, argv);
  if (command == "list") return List(argc, argv);
  if (command == "apply") return Apply(argc, argv);
  std::fputs(kUsage, stderr);
  return 2;
}
