// Seeds: torrents as kestra-seed writes them, and a few odd ones.
// fuzz-libs: kestra_storage
#include <string>

#include "downloader/storage/seed_file.h"
#include "downloader/storage/torrent.h"
#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  zelt::TorrentInfo info;
  info.cdnList = {{"http://127.0.0.1:8080/burrow/tqm/patch", 10}, {"http://127.0.0.2/b", -1}};
  info.trackers = {{"127.0.0.1", 7000}};
  info.totalSize = 123456789;
  info.defaultConfigFile = "config/server.ini";
  info.seed.name = "p1.tq.data.seed";
  info.seed.size = 4321;
  info.seed.md5 = zelt::Md5Of("seed");
  kestra::fuzz::WriteSeed(dir, "full", zelt::WriteTorrent(info));
  info.cdnList.clear();
  info.seed.name = "任务/p2.data.seed";
  kestra::fuzz::WriteSeed(dir, "tracker_only", zelt::WriteTorrent(info));
  kestra::fuzz::WriteSeed(dir, "odd",
      "<Root><Server><Http/><Tracker ip=\"1\"/><Tracker port=\"99999\"/></Server><Exist><X/>"
      "<File id=\"0\" name=\"a\" size=\"1\" md5=\"zz\"/></Exist><NonExist/></Root>");
  return 0;
}
