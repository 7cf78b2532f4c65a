// Builds a task for the downloader core from a directory of files: the
// torrent, the gzip seed beside it, and the files themselves, laid out so
// that one web server root serves the whole task.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "downloader/storage/torrent.h"

namespace kestra::seed {

struct BuildOptions {
  std::string files_dir;      // the task's files, walked recursively
  std::uint32_t block_size = 0;
  std::string out_dir;        // BASEDIR: torrent, seed and files go below it
  std::string torrent_name;   // NAME: the torrent is BASEDIR/NAME, the seed BASEDIR/NAME.seed
  std::vector<zelt::TorrentCdn> cdns;
  std::vector<zelt::TorrentTracker> trackers;
  std::string config_path;    // server-relative server configuration file
  std::vector<std::string> delete_names;
};

struct BuildReport {
  std::string torrent_path, seed_path;
  std::uint32_t files = 0;
  std::uint64_t parts = 0;
  std::uint64_t total_bytes = 0;
};

// "URL" or "URL<FACTOR>" of --cdn; false for a bad factor or an empty URL.
bool ParseCdnOption(const std::string& text, zelt::TorrentCdn& out);
// "IP:PORT" of --tracker; false unless the port is 1-65535.
bool ParseTrackerOption(const std::string& text, zelt::TorrentTracker& out);

// Checks the options that do not need the disk; error says what is wrong.
bool CheckOptions(const BuildOptions& options, std::string& error);

bool Build(const BuildOptions& options, BuildReport& report, std::string& error);

// What "list" prints for BASEDIR/NAME: the torrent's servers, then every file
// with its blocks. false (error set) when the torrent or its seed is unreadable.
bool Describe(const std::string& torrent_path, std::string& text, std::string& error);

}  // namespace kestra::seed
