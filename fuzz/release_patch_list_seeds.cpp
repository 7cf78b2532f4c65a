// fuzz-libs: kestra_releasetool kestra_patch kestra_config kestra_platform
// Seeds for release_patch_list: lists as kestra-release writes them, and the
// shapes it must refuse or keep.
#include <string>

#include "fuzz/support/seed_writer.h"
#include "tools/release/patch_list_document.h"
#include "updater/config/settings.h"

int main(int argc, char** argv) {
  using kestra::release::PatchListDocument;
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  PatchListDocument doc;
  doc.SetTaskBase("http://127.0.0.1:8080");
  doc.SetControl(1, 120);
  for (int build = 5; build <= 7; ++build)
    doc.AppendVersion(kestra::config::PackVersion(1, 0, build),
                      "http://127.0.0.1:8080/tqm/patch1.0." + std::to_string(build) + ".tq");
  kestra::fuzz::WriteSeed(dir, "usual", doc.Text());
  kestra::fuzz::WriteSeed(dir, "unknown_keys", "#httpurl http://127.0.0.1/ #rturl x\n#timeout_to_http 5 1.0.5 u\n");
  kestra::fuzz::WriteSeed(dir, "half_pair", "##2 30");
  kestra::fuzz::WriteSeed(dir, "odd_versions", "1.2.70000beta u -1.0.0 v 99999999999.1.1 w");
  return 0;
}
