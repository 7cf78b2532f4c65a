#include "platform/resource.h"

#include <cctype>
#include <mutex>
#include <vector>

namespace platform::resource {
namespace {

struct Blob {
  std::string type;
  int id = 0;
  std::string name;
  std::string_view bytes;
};

struct Table {
  std::mutex mutex;
  std::vector<Blob> blobs;
};

// Built on first use, so that registrations from static initialisers in any
// order find it.
Table& Blobs() {
  static Table table;
  return table;
}

bool SameType(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string_view> Find(std::string_view type, int id) {
  Table& table = Blobs();
  std::lock_guard lock(table.mutex);
  for (const Blob& blob : table.blobs) {
    if (blob.id == id && SameType(blob.type, type)) return blob.bytes;
  }
  return std::nullopt;
}

std::optional<std::string_view> Find(std::string_view name) {
  if (name.empty()) return std::nullopt;
  Table& table = Blobs();
  std::lock_guard lock(table.mutex);
  for (const Blob& blob : table.blobs) {
    if (blob.name == name) return blob.bytes;
  }
  return std::nullopt;
}

void Register(std::string_view type, int id, std::string_view name,
              const unsigned char* begin, const unsigned char* end) {
  Table& table = Blobs();
  std::lock_guard lock(table.mutex);
  std::string_view bytes(reinterpret_cast<const char*>(begin),
                         static_cast<std::size_t>(end - begin));
  for (Blob& blob : table.blobs) {
    if (blob.id == id && SameType(blob.type, type)) {
      blob.name = std::string(name);
      blob.bytes = bytes;
      return;
    }
  }
  table.blobs.push_back(Blob{std::string(type), id, std::string(name), bytes});
}

void Unregister(std::string_view type, int id) {
  Table& table = Blobs();
  std::lock_guard lock(table.mutex);
  std::erase_if(table.blobs,
                [&](const Blob& blob) { return blob.id == id && SameType(blob.type, type); });
}

}  // namespace platform::resource
