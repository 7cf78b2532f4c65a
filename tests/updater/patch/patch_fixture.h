// Helpers of the patch engine's tests: hand-made section records, packages
// written with the package builder's writer, a recording PatchUi and a
// capture of the updater's log.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "tools/pack/package_builder.h"
#include "updater/log/log.h"
#include "updater/patch/package_format.h"
#include "updater/patch/patch_ui.h"

namespace kestra::patch::test {

inline std::string Le32(std::uint32_t value) {
  std::string out;
  AppendLe32(out, value);
  return out;
}

// One section record; name gets its zero byte.
inline std::string Section(std::uint32_t kind, std::uint32_t target_length, std::string_view name,
                           std::string_view data) {
  return Le32(kind) + Le32(target_length) + Le32(static_cast<std::uint32_t>(name.size() + 1)) +
         std::string(name) + std::string(1, '\0') + Le32(static_cast<std::uint32_t>(data.size())) +
         std::string(data);
}
inline std::string Addf(std::string_view name, std::string_view data) {
  return Section(kKindAddf, 0, name, data);
}
inline std::string Modi(std::string_view name, std::uint32_t target_length,
                        std::string_view records) {
  return Section(kKindModi, target_length, name, records);
}
// One MODI patch record.
inline std::string Record(std::uint32_t skip, std::string_view bytes) {
  return Le32(skip) + Le32(static_cast<std::uint32_t>(bytes.size())) + std::string(bytes);
}

// A package file: header and one bzip2 stream holding exactly `stream`.
inline void WritePackage(const std::string& path, std::uint32_t version, std::string_view stream,
                         std::string_view magic = kMagicDu1t) {
  pack::PackageWriter writer;
  ASSERT_TRUE(writer.Open(path, magic, version)) << writer.error();
  ASSERT_TRUE(writer.WriteRaw(stream));
  ASSERT_TRUE(writer.Finish()) << writer.error();
}

inline const std::string kTrailer4 = "TAIL";

class FakeUi : public PatchUi {
 public:
  struct Box {
    std::string text;
    std::string caption;
    ui::Buttons buttons;
    ui::Icon icon;
  };

  void PumpMessages() override { ++pumps; }
  void SetStatusText(std::string_view text) override { statuses.emplace_back(text); }
  ui::Answer Ask(std::string_view text, std::string_view caption, ui::Buttons buttons,
                 ui::Icon icon) override {
    boxes.push_back(Box{std::string(text), std::string(caption), buttons, icon});
    if (answers.empty()) return ui::DefaultAnswer(buttons);
    const ui::Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowUpdateError(int number, std::string_view text) override {
    errors.emplace_back(number, std::string(text));
  }
  void Wait(std::uint32_t ms) override { waits.push_back(ms); }

  int pumps = 0;
  std::vector<std::string> statuses;
  std::vector<Box> boxes;
  std::deque<ui::Answer> answers;
  std::vector<std::pair<int, std::string>> errors;
  std::vector<std::uint32_t> waits;
};

// Channel 0 of the log into dir/Log/kestra.log for the lifetime of the object.
class LogCapture {
 public:
  explicit LogCapture(const std::string& dir) : dir_(dir) {
    log::CloseAll();
    log::SetLogBaseDir(dir_);
    log::OpenChannel(0, "kestra.log", "PatchTest");
  }
  ~LogCapture() { log::CloseAll(); }
  // Everything logged so far (GBK bytes, CR LF line ends).
  std::string Text() const {
    std::string text;
    if (const auto entries = platform::fs::ListDirectory(dir_ + "/Log")) {
      for (const auto& entry : *entries) {
        std::string part;
        platform::fs::ReadWholeFile(dir_ + "/Log/" + entry.name, part);
        text += part;
      }
    }
    return text;
  }
  bool Contains(std::string_view needle) const {
    return Text().find(needle) != std::string::npos;
  }

 private:
  std::string dir_;
};

}  // namespace kestra::patch::test
