// The seed: a gzip-compressed XML document listing every target file with
// its parts and the names to delete. Reader and writer live together in
// seed_file.cpp, so the release tool writes exactly what the core reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "downloader/storage/seed_document.h"

namespace zelt {

// "md5" attribute text: two hex digits per byte, high nibble first. A bad
// text is not refused: it is padded with NULs or cut to 32 characters and a
// bad digit counts as -1, so the digest simply never matches.
Md5Digest ParseMd5Text(std::string_view text);
std::string Md5Text(const Md5Digest& digest);  // 32 lowercase hex digits
Md5Digest Md5Of(std::string_view data);

// A name below the download directory: not empty, bounded, no control
// characters, not absolute, no drive letter or other ":", no ".." component
// (split at "\\" and "/", the way the platform layer splits it).
bool IsSafeRelativeName(std::string_view name);

// Strict decimal numbers of attributes (blanks around them are allowed).
bool ParseDecimalU32(std::string_view text, std::uint32_t& out);
bool ParseDecimalU64(std::string_view text, std::uint64_t& out);
bool ParseDecimalI32(std::string_view text, std::int32_t& out);

// The bytes of a seed file as text: gzip members are inflated, anything else
// passes through unchanged. nullopt for a corrupt gzip stream or a text
// beyond kMaxSeedTextBytes.
std::optional<std::string> InflateSeed(std::string_view bytes);

// Parses the seed text. nullopt when it is unreadable: not XML, no Root, a
// file or part without its four attributes or with a bad number, an unsafe
// name, parts that do not tile their file, or beyond the bounds.
std::optional<SeedDocument> ParseSeedText(std::string_view text);

// Reads and parses the seed file at path (bounded before it is read).
std::optional<SeedDocument> ReadSeedFile(const std::string& path);

// The XML text of a seed, and that text compressed as one gzip member.
std::string WriteSeedText(const SeedDocument& seed);
std::string GzipBytes(std::string_view data);

}  // namespace zelt
