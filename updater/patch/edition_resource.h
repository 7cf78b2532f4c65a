// Which files of a package belong to one of the game's two resource sets
// (the base set and the "hdres" set).
#pragma once

#include <string_view>

namespace kestra::patch {

// Two files of the game client that look like resources but are never treated
// as such. The first is compared without the last character of the name (the
// client numbers its copies 0-9), the second as a whole. Lower case.
struct EditionResourceExemptions {
  std::string_view stem;  // 10 characters
  std::string_view name;  // 10 characters
};
inline constexpr EditionResourceExemptions kEditionResourceExemptions{"vdsetup.rz",
                                                                      "vdlist.map"};

// True for a resource file ("rz?", "map", "npk" or "thd" at the end of the
// lowered name); with include_common false, files whose name begins with
// "common" do not count.
bool IsEditionResource(std::string_view name, bool include_common,
                       const EditionResourceExemptions& exemptions = kEditionResourceExemptions);

// 1 for a name beginning with "hdres" (any letter case), else 0.
int ResourceSetOf(std::string_view name);

}  // namespace kestra::patch
