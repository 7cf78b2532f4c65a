#include "platform/resource.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fs.h"

namespace platform::resource {
namespace {

TEST(Resource, BlobEmbeddedAtBuildTimeIsFoundByTypeAndId) {
  std::string expected;
  ASSERT_TRUE(fs::ReadWholeFile(KESTRA_SAMPLE_BLOB, expected));
  auto blob = Find("Sample", 901);
  ASSERT_TRUE(blob);
  EXPECT_EQ(*blob, expected);
  // Type names compare without regard to case.
  EXPECT_EQ(Find("SAMPLE", 901), blob);
  EXPECT_EQ(Find("sample"), blob);
  EXPECT_FALSE(Find("Sample", 902));
  EXPECT_FALSE(Find("Other", 901));
  EXPECT_FALSE(Find(""));
}

TEST(Resource, RegisterReplaceAndUnregister) {
  static const unsigned char first[] = {'a', 'b', 'c'};
  static const unsigned char second[] = {'x'};
  Register("Program", 4711, "test-program", first, first + 3);
  ASSERT_TRUE(Find("PROGRAM", 4711));
  EXPECT_EQ(*Find("PROGRAM", 4711), "abc");
  Register("program", 4711, "test-program", second, second + 1);
  EXPECT_EQ(*Find("Program", 4711), "x");
  Unregister("PROGRAM", 4711);
  EXPECT_FALSE(Find("Program", 4711));
  EXPECT_FALSE(Find("test-program"));
}

}  // namespace
}  // namespace platform::resource
