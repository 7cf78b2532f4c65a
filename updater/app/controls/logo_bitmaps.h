// The bitmaps built into the program, by resource number.
#pragma once

#include <string_view>

namespace kestra::app::controls {

inline constexpr int kMakerLogoBitmap = 150;  // 96 x 30, the maker's logo
inline constexpr int kGameLogoBitmap = 151;   // 146 x 73, the game's logo

// The BMP file image of a built-in bitmap; empty for an unknown number.
std::string_view ResourceBitmapBytes(int id);

}  // namespace kestra::app::controls
