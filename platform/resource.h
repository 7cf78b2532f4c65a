// Blobs embedded in the program at build time, found by type name and id
// (type names compare without regard to case, as resource types do).
//
// A blob joins the program through a generated source that defines it and a
// static Registration (see kestra_embed_blob in platform/embed.cmake); the
// program links that source as an object, so the registration always runs
// before main.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::resource {

// The bytes of the blob, valid for the life of the program; nullopt when the
// program carries no such blob.
std::optional<std::string_view> Find(std::string_view type, int id);
// Same, by the blob's name alone ("PROGRAM/153" style names are not parsed:
// the name is the one given at registration, or empty).
std::optional<std::string_view> Find(std::string_view name);

// Registers a blob; the generated sources call this through Registration.
// A later registration with the same type and id replaces an earlier one.
void Register(std::string_view type, int id, std::string_view name,
              const unsigned char* begin, const unsigned char* end);

struct Registration {
  Registration(const char* type, int id, const char* name, const unsigned char* begin,
               const unsigned char* end) {
    Register(type, id, name, begin, end);
  }
};

// Removes a blob (tests use this to see the program without it).
void Unregister(std::string_view type, int id);

}  // namespace platform::resource
