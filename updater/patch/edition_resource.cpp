#include "updater/patch/edition_resource.h"

#include <string>

#include "updater/patch/package_format.h"

namespace kestra::patch {

bool IsEditionResource(std::string_view name, bool include_common,
                       const EditionResourceExemptions& exemptions) {
  const std::string lowered = LowerAscii(name);
  const std::string_view lower(lowered);
  if (!lower.empty() && lower.substr(0, lower.size() - 1) == exemptions.stem) return false;
  if (lower == exemptions.name) return false;
  if (lower.size() < 3) return false;
  const std::string_view extension = lower.substr(lower.size() - 3);
  const bool resource = extension.substr(0, 2) == "rz" || extension == "map" ||
                        extension == "npk" || extension == "thd";
  if (!resource) return false;
  if (include_common) return true;
  return !lower.starts_with("common");
}

int ResourceSetOf(std::string_view name) {
  return LowerAscii(name).starts_with("hdres") ? 1 : 0;
}

}  // namespace kestra::patch
