// Every bound the downloader's network code puts on what a server or a peer
// sends, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelt {

// HTTP responses.
inline constexpr std::size_t kMaxHttpHeaderBytes = 64 * 1024;      // status line + fields
inline constexpr std::size_t kMaxHttpChunkLine = 1024;             // size line with extensions
inline constexpr std::size_t kMaxHttpInterimResponses = 8;         // 1xx before the real one
inline constexpr std::size_t kMaxHttpKeptBody = 64 * 1024 * 1024;  // body held in memory
inline constexpr std::size_t kMaxHttpPortion = 16 * 1024 * 1024;   // one OnData call
inline constexpr std::size_t kHttpReadSize = 16384;                // one receive
inline constexpr int kMaxHttpRedirects = 5;
inline constexpr std::size_t kMaxUrlBytes = 4096;
inline constexpr std::uint32_t kHttpNoProgressMs = 10000;
inline constexpr std::uint32_t kHttpWaitSliceMs = 10;
inline constexpr std::size_t kMaxPostBodyBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxPostAnswerBytes = 64 * 1024;

// Framed TCP messages and datagrams of the handles.
inline constexpr std::size_t kFrameHeaderBytes = 12;
inline constexpr std::uint32_t kDefaultFrameLimit = 16 * 1024 * 1024;  // "unlimited" queues
inline constexpr std::size_t kMaxDatagramBytes = 512;
inline constexpr std::size_t kMaxSelectSockets = 1024;
inline constexpr std::uint32_t kLimiterWindowMs = 2000;

}  // namespace zelt
