// Draws the two logo pictures of the main dialog and writes them as C arrays of
// 8-bit BMP file images. Regenerate with:
//   g++ -std=c++20 -O1 -o /tmp/make_logo_bitmaps updater/app/controls/tools/make_logo_bitmaps.cpp
//   /tmp/make_logo_bitmaps > updater/app/controls/logo_bitmaps.cpp
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

struct Rgb {
  int r, g, b;
  bool operator<(const Rgb& o) const {
    return r != o.r ? r < o.r : g != o.g ? g < o.g : b < o.b;
  }
};

struct Canvas {
  int w, h;
  std::vector<Rgb> px;
  Canvas(int width, int height) : w(width), h(height), px(width * height, Rgb{0, 0, 0}) {}
  void Set(int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < w && y < h) px[y * w + x] = c;
  }
  void Fill(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) Set(x, y, c);
  }
};

// 5 x 7 capitals.
const std::map<char, std::vector<const char*>> kFont = {
    {'K', {"10001", "10010", "10100", "11000", "10100", "10010", "10001"}},
    {'O', {"01110", "10001", "10001", "10001", "10001", "10001", "01110"}},
    {'R', {"11110", "10001", "10001", "11110", "10100", "10010", "10001"}},
    {'V', {"10001", "10001", "10001", "10001", "10001", "01010", "00100"}},
    {'E', {"11111", "10000", "10000", "11110", "10000", "10000", "11111"}},
    {'L', {"10000", "10000", "10000", "10000", "10000", "10000", "11111"}},
    {'A', {"01110", "10001", "10001", "11111", "10001", "10001", "10001"}},
    {'N', {"10001", "11001", "10101", "10011", "10001", "10001", "10001"}},
    {'D', {"11110", "10001", "10001", "10001", "10001", "10001", "11110"}},
};

void Text(Canvas& c, const std::string& text, int x0, int y0, int scale, Rgb ink, Rgb shadow) {
  for (int pass = 0; pass < 2; ++pass) {
    int x = x0 + (pass == 0 ? 1 : 0), y = y0 + (pass == 0 ? 1 : 0);
    for (char ch : text) {
      const auto& rows = kFont.at(ch);
      for (int r = 0; r < 7; ++r)
        for (int col = 0; col < 5; ++col)
          if (rows[r][col] == '1')
            c.Fill(x + col * scale, y + r * scale, x + (col + 1) * scale, y + (r + 1) * scale,
                   pass == 0 ? shadow : ink);
      x += 6 * scale;
    }
  }
}

Canvas MakerLogo() {
  Canvas c(96, 30);
  for (int y = 0; y < c.h; ++y) c.Fill(0, y, c.w, y + 1, Rgb{20 + y * 2, 40 + y * 3, 110 + y * 3});
  for (int x = 0; x < c.w; ++x) {
    c.Set(x, 0, Rgb{200, 210, 240});
    c.Set(x, c.h - 1, Rgb{10, 20, 60});
  }
  for (int y = 0; y < c.h; ++y) {
    c.Set(0, y, Rgb{200, 210, 240});
    c.Set(c.w - 1, y, Rgb{10, 20, 60});
  }
  Text(c, "KORVEL", 13, 6, 2, Rgb{250, 250, 255}, Rgb{10, 20, 60});
  c.Fill(13, 23, 83, 25, Rgb{240, 150, 30});
  return c;
}

Canvas GameLogo() {
  Canvas c(146, 73);
  for (int y = 0; y < c.h; ++y) c.Fill(0, y, c.w, y + 1, Rgb{120 - y, 20 + y / 4, 20});
  for (int i = 0; i < 3; ++i) {
    for (int x = i; x < c.w - i; ++x) {
      c.Set(x, i, Rgb{230, 190, 80});
      c.Set(x, c.h - 1 - i, Rgb{230, 190, 80});
    }
    for (int y = i; y < c.h - i; ++y) {
      c.Set(i, y, Rgb{230, 190, 80});
      c.Set(c.w - 1 - i, y, Rgb{230, 190, 80});
    }
  }
  // A diamond over the name.
  for (int dy = -9; dy <= 9; ++dy) {
    int half = 9 - (dy < 0 ? -dy : dy);
    for (int dx = -half; dx <= half; ++dx)
      c.Set(73 + dx, 15 + dy, (dx + dy) % 3 == 0 ? Rgb{255, 230, 140} : Rgb{230, 190, 80});
  }
  Text(c, "VANDOR", 20, 30, 3, Rgb{245, 205, 90}, Rgb{40, 10, 10});
  c.Fill(20, 56, 126, 58, Rgb{230, 190, 80});
  return c;
}

void Le16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
void Le32(std::string& s, unsigned v) {
  Le16(s, v & 0xFFFF);
  Le16(s, v >> 16);
}

std::string Bmp8(const Canvas& c) {
  std::map<Rgb, int> index;
  for (const Rgb& p : c.px) index.emplace(p, 0);
  if (index.size() > 256) {
    std::fprintf(stderr, "too many colours: %zu\n", index.size());
    std::exit(1);
  }
  int n = 0;
  for (auto& [colour, i] : index) i = n++;
  unsigned stride = (c.w + 3) / 4 * 4;
  unsigned offset = 14 + 40 + 4 * n;
  std::string s = "BM";
  Le32(s, offset + stride * c.h);
  Le32(s, 0);
  Le32(s, offset);
  Le32(s, 40);
  Le32(s, c.w);
  Le32(s, c.h);
  Le16(s, 1);
  Le16(s, 8);
  Le32(s, 0);
  Le32(s, stride * c.h);
  Le32(s, 2835);
  Le32(s, 2835);
  Le32(s, n);
  Le32(s, 0);
  for (auto& [colour, i] : index) {
    s += static_cast<char>(colour.b);
    s += static_cast<char>(colour.g);
    s += static_cast<char>(colour.r);
    s += '\0';
  }
  for (int y = c.h - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < c.w; ++x) row += static_cast<char>(index.at(c.px[y * c.w + x]));
    row.resize(stride, '\0');
    s += row;
  }
  return s;
}

void Emit(const char* name, const std::string& bytes) {
  std::printf("const unsigned char %s[%zu] = {", name, bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) std::printf("\n   ");
    std::printf(" 0x%02x,", static_cast<unsigned char>(bytes[i]));
  }
  std::printf("\n};\n\n");
}

}  // namespace

int main() {
  std::printf(
      "// The logo pictures of the main dialog as 8-bit BMP file images, drawn by\n"
      "// controls/tools/make_logo_bitmaps.cpp. Generated; do not edit.\n"
      "#include \"updater/app/controls/logo_bitmaps.h\"\n\n"
      "namespace kestra::app::controls {\n"
      "namespace {\n\n");
  Emit("kMakerLogo", Bmp8(MakerLogo()));
  Emit("kGameLogo", Bmp8(GameLogo()));
  std::printf(
      "}  // namespace\n\n"
      "std::string_view ResourceBitmapBytes(int id) {\n"
      "  switch (id) {\n"
      "    case kMakerLogoBitmap:\n"
      "      return {reinterpret_cast<const char*>(kMakerLogo), sizeof kMakerLogo};\n"
      "    case kGameLogoBitmap:\n"
      "      return {reinterpret_cast<const char*>(kGameLogo), sizeof kGameLogo};\n"
      "    default:\n"
      "      return {};\n"
      "  }\n"
      "}\n\n"
      "}  // namespace kestra::app::controls\n");
  return 0;
}
