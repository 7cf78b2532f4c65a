#include "updater/app/controls/logo_bitmaps.h"

#include <gtest/gtest.h>

#include <set>

#include "updater/app/controls/bitmap.h"

namespace kestra::app::controls {
namespace {

TEST(LogoBitmapsTest, BuiltInPicturesHaveTheirSizes) {
  struct Case {
    int id, width, height;
  };
  for (const Case& c : {Case{kMakerLogoBitmap, 96, 30}, Case{kGameLogoBitmap, 146, 73}}) {
    std::optional<Bitmap> b = DecodeBmp(ResourceBitmapBytes(c.id));
    ASSERT_TRUE(b) << c.id;
    EXPECT_EQ(b->width, c.width);
    EXPECT_EQ(b->height, c.height);
    // A picture, not a plain plate: many colours.
    std::set<std::uint32_t> colours;
    for (std::size_t i = 0; i + 2 < b->rgb.size(); i += 3)
      colours.insert(b->rgb[i] << 16 | b->rgb[i + 1] << 8 | b->rgb[i + 2]);
    EXPECT_GT(colours.size(), 10u);
  }
  EXPECT_TRUE(ResourceBitmapBytes(149).empty());
}

}  // namespace
}  // namespace kestra::app::controls
