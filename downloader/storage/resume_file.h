// The resume data of a task and its IniFile text:
//
//   [<file id>]                      one section per file, ids in byte order
//   CompletePartId = 0|1|2|5         every completed part id, one number each
//   HttpBeginLocation = 1822         written as a signed 32-bit number
//
//   [Global]
//   AllFileId = 1|2
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "downloader/storage/range_set.h"

namespace zelt {

struct ResumeData {
  std::map<std::uint32_t, RangeSet> completed_parts;  // file id -> completed part ids
  std::map<std::uint32_t, std::uint32_t> http_begin;  // file id -> HTTP begin location
};

std::string WriteResumeText(const ResumeData& data);

// Reads a resume text into out (which is replaced only on success). false for
// a text that is not an IniFile, lacks Global/AllFileId, or holds a value that
// is not a number.
bool ReadResumeText(std::string_view text, ResumeData& out);

}  // namespace zelt
