// Device-independent bitmaps (.bmp files and the program's own pictures),
// decoded into RGB rows for drawing. Every file is treated as hostile: sizes
// are bounded and a short, damaged or foreign file is refused, never read
// beyond its end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "updater/ui/gui/dialog_view.h"

namespace kestra::app::controls {

inline constexpr std::uint64_t kMaxBitmapFileBytes = 64u << 20;
inline constexpr int kMaxBitmapSide = 8192;
inline constexpr std::uint64_t kMaxBitmapPixels = 32u << 20;

struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // top-down, 3 bytes per pixel, no padding

  bool empty() const { return width <= 0 || height <= 0; }
  ui::gui::PixelView View() const {
    return ui::gui::PixelView{width, height, rgb.empty() ? nullptr : rgb.data()};
  }
};

struct PaletteColour {
  std::uint8_t r = 0, g = 0, b = 0;
};

// Reads a whole BMP file image: core, info, v4 and v5 headers; 1, 4, 8, 16, 24
// and 32 bits per pixel, uncompressed or with bit fields. Compressed (RLE) and
// everything else is refused.
std::optional<Bitmap> DecodeBmp(std::string_view bytes);
// Loads a BMP file; nullopt when it is missing, too large or not a bitmap.
std::optional<Bitmap> LoadBitmapFile(std::string_view path);

// Writes BMP file images (for the program's own pictures and for tests).
std::string EncodeBmp24(const Bitmap& bitmap);
std::string EncodeBmp8(int width, int height, const std::vector<PaletteColour>& palette,
                       const std::vector<std::uint8_t>& indices);

}  // namespace kestra::app::controls
