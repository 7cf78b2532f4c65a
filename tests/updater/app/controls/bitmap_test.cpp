#include "updater/app/controls/bitmap.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/temp_dir.h"

namespace kestra::app::controls {
namespace {

void Le16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
void Le32(std::string& s, unsigned v) {
  Le16(s, v & 0xFFFF);
  Le16(s, v >> 16);
}

// A BMP with an info header: rows given bottom-up and already padded.
std::string InfoBmp(int width, int height, int bits, unsigned compression, const std::string& palette,
                    const std::string& rows, const std::string& masks = "") {
  std::string s = "BM";
  unsigned offset = 14 + 40 + static_cast<unsigned>(masks.size() + palette.size());
  Le32(s, offset + static_cast<unsigned>(rows.size()));
  Le32(s, 0);
  Le32(s, offset);
  Le32(s, 40);
  Le32(s, static_cast<unsigned>(width));
  Le32(s, static_cast<unsigned>(height));
  Le16(s, 1);
  Le16(s, static_cast<unsigned>(bits));
  Le32(s, compression);
  Le32(s, static_cast<unsigned>(rows.size()));
  Le32(s, 0);
  Le32(s, 0);
  Le32(s, static_cast<unsigned>(palette.size() / 4));
  Le32(s, 0);
  return s + masks + palette + rows;
}

std::string Pixel(const Bitmap& b, int x, int y) {
  std::size_t at = (static_cast<std::size_t>(y) * b.width + x) * 3;
  return std::string(reinterpret_cast<const char*>(&b.rgb[at]), 3);
}

Bitmap Gradient(int w, int h) {
  Bitmap b;
  b.width = w;
  b.height = h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      b.rgb.push_back(static_cast<std::uint8_t>(x * 7));
      b.rgb.push_back(static_cast<std::uint8_t>(y * 13));
      b.rgb.push_back(static_cast<std::uint8_t>(x + y));
    }
  return b;
}

TEST(DecodeBmpTest, ReadsWhatWeWrite) {
  for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 2}, std::pair{5, 7}, std::pair{146, 73}}) {
    Bitmap b = Gradient(w, h);
    std::optional<Bitmap> back = DecodeBmp(EncodeBmp24(b));
    ASSERT_TRUE(back) << w << "x" << h;
    EXPECT_EQ(back->width, w);
    EXPECT_EQ(back->height, h);
    EXPECT_EQ(back->rgb, b.rgb);
  }
  std::vector<PaletteColour> palette = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  std::optional<Bitmap> eight = DecodeBmp(EncodeBmp8(3, 2, palette, {0, 1, 2, 2, 1, 0}));
  ASSERT_TRUE(eight);
  EXPECT_EQ(Pixel(*eight, 0, 0), std::string("\xFF\x00\x00", 3));
  EXPECT_EQ(Pixel(*eight, 2, 0), std::string("\x00\x00\xFF", 3));
  EXPECT_EQ(Pixel(*eight, 0, 1), std::string("\x00\x00\xFF", 3));
}

TEST(DecodeBmpTest, ReadsTheOtherPixelFormats) {
  // 2 x 2 images; row order bottom-up unless the height is negative.
  const std::string red_green = std::string("\x00\x00\xFF\x00", 4) + std::string("\x00\xFF\x00\x00", 4);
  struct Case {
    const char* name;
    std::string file;
    std::string top_left, bottom_right;
  };
  std::string pal2 = std::string("\x00\x00\x00\x00", 4) + std::string("\xFF\xFF\xFF\x00", 4);
  std::string pal16 = std::string(4 * 16, '\0');
  pal16[4 * 9 + 2] = '\x80';  // index 9: red 128
  const std::vector<Case> cases = {
      {"1 bit", InfoBmp(2, 2, 1, 0, pal2, std::string("\x40\0\0\0\x80\0\0\0", 8)),
       std::string("\xFF\xFF\xFF", 3), std::string("\xFF\xFF\xFF", 3)},
      {"4 bit", InfoBmp(2, 2, 4, 0, pal16, std::string("\x09\0\0\0\x90\0\0\0", 8)),
       std::string("\x80\x00\x00", 3), std::string("\x80\x00\x00", 3)},
      {"16 bit 555", InfoBmp(2, 2, 16, 0, "", std::string("\x00\x00\x1F\x00\x00\x7C\x00\x00", 8)),
       std::string("\xFF\x00\x00", 3), std::string("\x00\x00\xFF", 3)},
      {"16 bit 565 fields",
       InfoBmp(2, 2, 16, 3, "", std::string("\x00\x00\xE0\x07\x00\xF8\x00\x00", 8),
               std::string("\x00\xF8\x00\x00\xE0\x07\x00\x00\x1F\x00\x00\x00", 12)),
       std::string("\xFF\x00\x00", 3), std::string("\x00\xFF\x00", 3)},
      {"32 bit", InfoBmp(2, 2, 32, 0, "", std::string(8, '\0') + red_green),
       std::string("\xFF\x00\x00", 3), std::string("\x00\x00\x00", 3)},
      {"top-down 24 bit", InfoBmp(2, -2, 24, 0, "", std::string("\x00\x00\xFF\x00\xFF\x00\0\0", 8) + std::string(8, '\0')),
       std::string("\xFF\x00\x00", 3), std::string("\x00\x00\x00", 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Bitmap> b = DecodeBmp(c.file);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->width, 2);
    EXPECT_EQ(b->height, 2);
    EXPECT_EQ(Pixel(*b, 0, 0), c.top_left);
    EXPECT_EQ(Pixel(*b, 1, 1), c.bottom_right);
  }
  // The old core header.
  std::string core = "BM";
  Le32(core, 14 + 12 + 4);
  Le32(core, 0);
  Le32(core, 14 + 12);
  Le32(core, 12);
  Le16(core, 1);
  Le16(core, 1);
  Le16(core, 1);
  Le16(core, 24);
  core += std::string("\x10\x20\x30\x00", 4);
  std::optional<Bitmap> b = DecodeBmp(core);
  ASSERT_TRUE(b);
  EXPECT_EQ(Pixel(*b, 0, 0), std::string("\x30\x20\x10", 3));
}

TEST(DecodeBmpTest, RefusesDamagedAndForeignFiles) {
  const std::string good = EncodeBmp24(Gradient(9, 5));
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(DecodeBmp(good.substr(0, n))) << "prefix of " << n << " bytes";
  auto patched = [&](std::size_t at, unsigned value) {
    std::string s = good;
    std::string v;
    Le32(v, value);
    s.replace(at, 4, v);
    return s;
  };
  struct Case {
    const char* name;
    std::string file;
  };
  const std::vector<Case> cases = {
      {"not a bitmap", "GIF89a this is something else entirely"},
      {"empty", ""},
      {"zero width", patched(18, 0)},
      {"huge width", patched(18, 1u << 30)},
      {"huge height", patched(22, 1u << 30)},
      {"smallest height", patched(22, 0x80000000u)},
      {"rows missing for the height", patched(22, 8192)},
      {"RLE compression", patched(30, 1)},
      {"unknown compression", patched(30, 77)},
      {"data offset past the end", patched(10, 0xFFFFFFF0u)},
      {"data offset inside the header", patched(10, 20)},
      {"odd header size", patched(14, 64 + 200)},
      {"seven bits per pixel", [&] {
         std::string s = good;
         s[28] = 7;
         return s;
       }()},
      {"palette too large", InfoBmp(1, 1, 8, 0, std::string(4 * 300, '\0'), std::string(4, '\0'))},
  };
  for (const Case& c : cases) EXPECT_FALSE(DecodeBmp(c.file)) << c.name;
}

TEST(DecodeBmpTest, RandomDamageNeverReadsOutOfBounds) {
  std::mt19937 random(3);
  std::vector<PaletteColour> palette(16);
  std::vector<std::string> seeds = {EncodeBmp24(Gradient(13, 11)), EncodeBmp8(7, 3, palette, std::vector<std::uint8_t>(21, 3))};
  for (const std::string& seed : seeds) {
    for (int round = 0; round < 3000; ++round) {
      std::string s = seed;
      int flips = 1 + static_cast<int>(random() % 6);
      for (int i = 0; i < flips; ++i) s[random() % std::min<std::size_t>(s.size(), 80)] = static_cast<char>(random());
      if (random() % 4 == 0) s.resize(random() % s.size());
      std::optional<Bitmap> b = DecodeBmp(s);
      if (b) {
        EXPECT_EQ(b->rgb.size(), static_cast<std::size_t>(b->width) * b->height * 3);
        EXPECT_LE(static_cast<std::uint64_t>(b->width) * b->height, kMaxBitmapPixels);
      }
    }
  }
}

TEST(LoadBitmapFileTest, MissingOrOddFilesGiveNothing) {
  test::TempDir dir;
  EXPECT_FALSE(LoadBitmapFile(dir / "bk.bmp"));
  EXPECT_FALSE(LoadBitmapFile(dir.path()));
  dir.Write("bk.bmp", EncodeBmp24(Gradient(4, 4)));
  std::optional<Bitmap> b = LoadBitmapFile(dir / "bk.bmp");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->width, 4);
  dir.Write("half.bmp", EncodeBmp24(Gradient(40, 40)).substr(0, 300));
  EXPECT_FALSE(LoadBitmapFile(dir / "half.bmp"));
}

}  // namespace
}  // namespace kestra::app::controls
