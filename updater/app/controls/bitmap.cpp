#include "updater/app/controls/bitmap.h"

#include "platform/fs.h"

namespace kestra::app::controls {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kLargestHeaderSize = 124;
constexpr std::uint32_t kRgb = 0;
constexpr std::uint32_t kBitFields = 3;

std::uint32_t U16(std::string_view b, std::size_t at) {
  return static_cast<std::uint8_t>(b[at]) | (static_cast<std::uint8_t>(b[at + 1]) << 8);
}
std::uint32_t U32(std::string_view b, std::size_t at) {
  return U16(b, at) | (U16(b, at + 2) << 16);
}
std::int32_t S32(std::string_view b, std::size_t at) {
  return static_cast<std::int32_t>(U32(b, at));
}

// One colour channel of a bit-field pixel.
struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  explicit Channel(std::uint32_t m) : mask(m) {
    if (mask == 0) return;
    while (((mask >> shift) & 1u) == 0) ++shift;
    while (shift + bits < 32 && ((mask >> (shift + bits)) & 1u) != 0) ++bits;
  }
  std::uint8_t Extract(std::uint32_t pixel) const {
    if (bits == 0) return 0;
    std::uint32_t v = (pixel & mask) >> shift;
    std::uint32_t max = bits >= 32 ? 0xFFFFFFFFu : ((1u << bits) - 1u);
    return static_cast<std::uint8_t>((static_cast<std::uint64_t>(v) * 255u + max / 2) / max);
  }
};

void Put(Bitmap& out, std::size_t pixel, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  out.rgb[pixel * 3] = r;
  out.rgb[pixel * 3 + 1] = g;
  out.rgb[pixel * 3 + 2] = b;
}

void PutLe16(std::string& s, std::uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
void PutLe32(std::string& s, std::uint32_t v) {
  PutLe16(s, v & 0xFFFF);
  PutLe16(s, v >> 16);
}

std::string Headers(int width, int height, int bits, std::uint32_t palette_entries,
                    std::uint32_t image_bytes) {
  std::string s;
  std::uint32_t offset = kFileHeaderSize + kInfoHeaderSize + palette_entries * 4;
  s += "BM";
  PutLe32(s, offset + image_bytes);
  PutLe32(s, 0);
  PutLe32(s, offset);
  PutLe32(s, kInfoHeaderSize);
  PutLe32(s, static_cast<std::uint32_t>(width));
  PutLe32(s, static_cast<std::uint32_t>(height));
  PutLe16(s, 1);
  PutLe16(s, static_cast<std::uint32_t>(bits));
  PutLe32(s, kRgb);
  PutLe32(s, image_bytes);
  PutLe32(s, 2835);
  PutLe32(s, 2835);
  PutLe32(s, palette_entries);
  PutLe32(s, 0);
  return s;
}

}  // namespace

std::optional<Bitmap> DecodeBmp(std::string_view b) {
  if (b.size() < kFileHeaderSize + 4 || b[0] != 'B' || b[1] != 'M') return std::nullopt;
  const std::uint64_t data_offset = U32(b, 10);
  const std::uint32_t header_size = U32(b, kFileHeaderSize);
  if (header_size != kCoreHeaderSize &&
      (header_size < kInfoHeaderSize || header_size > kLargestHeaderSize))
    return std::nullopt;
  if (b.size() < kFileHeaderSize + header_size) return std::nullopt;
  const std::size_t h = kFileHeaderSize;

  std::int64_t width = 0, height = 0;
  std::uint32_t bits = 0, compression = kRgb, colours_used = 0;
  std::size_t palette_at = h + header_size;
  std::size_t palette_entry = 4;
  std::uint32_t masks[3] = {0, 0, 0};
  if (header_size == kCoreHeaderSize) {
    width = U16(b, h + 4);
    height = static_cast<std::int16_t>(U16(b, h + 6));
    bits = U16(b, h + 10);
    palette_entry = 3;
  } else {
    width = S32(b, h + 4);
    height = S32(b, h + 8);
    bits = U16(b, h + 14);
    compression = U32(b, h + 16);
    colours_used = U32(b, h + 32);
    if (compression == kBitFields) {
      std::size_t masks_at = h + kInfoHeaderSize;
      if (header_size == kInfoHeaderSize) palette_at += 12;  // masks follow the header
      if (b.size() < masks_at + 12) return std::nullopt;
      for (int i = 0; i < 3; ++i) masks[i] = U32(b, masks_at + 4 * i);
    }
  }
  const bool top_down = height < 0;
  if (top_down) height = -height;
  if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide ||
      static_cast<std::uint64_t>(width * height) > kMaxBitmapPixels)
    return std::nullopt;
  if (compression != kRgb && !(compression == kBitFields && (bits == 16 || bits == 32)))
    return std::nullopt;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return std::nullopt;
  if (compression == kRgb && bits == 16) {
    masks[0] = 0x7C00;
    masks[1] = 0x03E0;
    masks[2] = 0x001F;
  } else if (compression == kRgb && bits == 32) {
    masks[0] = 0x00FF0000;
    masks[1] = 0x0000FF00;
    masks[2] = 0x000000FF;
  }

  std::vector<PaletteColour> palette;
  if (bits <= 8) {
    std::uint32_t entries = colours_used == 0 ? (1u << bits) : colours_used;
    if (entries > 256) return std::nullopt;
    if (palette_at + static_cast<std::uint64_t>(entries) * palette_entry > b.size())
      return std::nullopt;
    for (std::uint32_t i = 0; i < entries; ++i) {
      std::size_t at = palette_at + i * palette_entry;
      palette.push_back(PaletteColour{static_cast<std::uint8_t>(b[at + 2]),
                                      static_cast<std::uint8_t>(b[at + 1]),
                                      static_cast<std::uint8_t>(b[at])});
    }
  }

  const std::uint64_t stride = ((static_cast<std::uint64_t>(width) * bits + 31) / 32) * 4;
  if (data_offset < kFileHeaderSize + header_size || data_offset > b.size() ||
      stride * static_cast<std::uint64_t>(height) > b.size() - data_offset)
    return std::nullopt;

  Bitmap out;
  out.width = static_cast<int>(width);
  out.height = static_cast<int>(height);
  out.rgb.assign(static_cast<std::size_t>(width * height) * 3, 0);
  const Channel red(masks[0]), green(masks[1]), blue(masks[2]);
  for (std::int64_t row = 0; row < height; ++row) {
    const std::size_t src = static_cast<std::size_t>(data_offset + stride * row);
    const std::int64_t y = top_down ? row : height - 1 - row;
    for (std::int64_t x = 0; x < width; ++x) {
      const std::size_t pixel = static_cast<std::size_t>(y * width + x);
      if (bits <= 8) {
        std::size_t bit = static_cast<std::size_t>(x) * bits;
        std::uint8_t byte = static_cast<std::uint8_t>(b[src + bit / 8]);
        std::uint32_t index = (byte >> (8 - bits - bit % 8)) & ((1u << bits) - 1u);
        if (index < palette.size()) {
          const PaletteColour& c = palette[index];
          Put(out, pixel, c.r, c.g, c.b);
        }
      } else if (bits == 24) {
        std::size_t at = src + static_cast<std::size_t>(x) * 3;
        Put(out, pixel, static_cast<std::uint8_t>(b[at + 2]), static_cast<std::uint8_t>(b[at + 1]),
            static_cast<std::uint8_t>(b[at]));
      } else {
        std::uint32_t value = bits == 16 ? U16(b, src + static_cast<std::size_t>(x) * 2)
                                         : U32(b, src + static_cast<std::size_t>(x) * 4);
        Put(out, pixel, red.Extract(value), green.Extract(value), blue.Extract(value));
      }
    }
  }
  return out;
}

std::optional<Bitmap> LoadBitmapFile(std::string_view path) {
  std::string bytes;
  if (!platform::fs::IsRegularFile(path)) return std::nullopt;
  if (!platform::fs::ReadWholeFile(path, bytes, kMaxBitmapFileBytes)) return std::nullopt;
  return DecodeBmp(bytes);
}

std::string EncodeBmp24(const Bitmap& bitmap) {
  const std::uint32_t stride = ((static_cast<std::uint32_t>(bitmap.width) * 24 + 31) / 32) * 4;
  std::string s = Headers(bitmap.width, bitmap.height, 24, 0,
                          stride * static_cast<std::uint32_t>(bitmap.height));
  for (int y = bitmap.height - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < bitmap.width; ++x) {
      std::size_t at = (static_cast<std::size_t>(y) * bitmap.width + x) * 3;
      row += static_cast<char>(bitmap.rgb[at + 2]);
      row += static_cast<char>(bitmap.rgb[at + 1]);
      row += static_cast<char>(bitmap.rgb[at]);
    }
    row.resize(stride, '\0');
    s += row;
  }
  return s;
}

std::string EncodeBmp8(int width, int height, const std::vector<PaletteColour>& palette,
                       const std::vector<std::uint8_t>& indices) {
  const std::uint32_t stride = ((static_cast<std::uint32_t>(width) * 8 + 31) / 32) * 4;
  std::string s = Headers(width, height, 8, static_cast<std::uint32_t>(palette.size()),
                          stride * static_cast<std::uint32_t>(height));
  for (const PaletteColour& c : palette) {
    s += static_cast<char>(c.b);
    s += static_cast<char>(c.g);
    s += static_cast<char>(c.r);
    s += '\0';
  }
  for (int y = height - 1; y >= 0; --y) {
    std::string row(indices.begin() + static_cast<std::ptrdiff_t>(y) * width,
                    indices.begin() + static_cast<std::ptrdiff_t>(y + 1) * width);
    row.resize(stride, '\0');
    s += row;
  }
  return s;
}

}  // namespace kestra::app::controls
