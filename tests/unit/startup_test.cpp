#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"
#include "test_os.h"

namespace {

TEST(Startup, ArgumentsBecomeOneUtf8Vector) {
  wchar16 prog[] = WSTR("tarn");
  wchar16 empty[] = WSTR("");
  wchar16 accented[] = {0x00E9, 0x20AC, 0xD83D, 0xDE00, 0};  // é € U+1F600
  wchar16 lone[] = {0xD800, 'x', 0};                          // a lone surrogate
  wchar16 help[] = WSTR("-h");
  wchar16* argv[] = {prog, empty, accented, lone, help, nullptr};

  testos::TempDir dir;
  int32_t status = -5;
  {
    testos::StdoutToFile quiet(dir.join("out.txt"));
    status = startup_entry(5, argv);
  }
  // "" is a source that is no folder: the run stops with status 4 before -h.
  EXPECT_EQ(status, 4);

  int32_t count = 0;
  char** args = process_arguments(&count);
  ASSERT_NE(args, nullptr);
  EXPECT_EQ(count, 5);
  EXPECT_STREQ(args[0], "tarn");
  EXPECT_STREQ(args[1], "");
  EXPECT_STREQ(args[2], "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(std::string(args[3]).substr(std::string(args[3]).size() - 1), "x");
  EXPECT_STREQ(args[4], "-h");
  EXPECT_EQ(args[5], nullptr);
  EXPECT_EQ(process_arguments(nullptr), args);
}

}  // namespace
