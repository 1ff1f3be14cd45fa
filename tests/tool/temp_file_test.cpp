#include "temp_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tessivar {
namespace {

TEST(TempFileTest, IsPrivateInTmpdirAndRemovedByItsOwner) {
  char dir[] = "/tmp/tessivar-temp-file-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const char* old = std::getenv("TMPDIR");
  const std::string oldTmpdir = old != nullptr ? old : "";
  setenv("TMPDIR", dir, 1);

  std::string path;
  {
    TempFile file;
    ASSERT_TRUE(file.isOpen());
    path = file.path();
    EXPECT_EQ(path.rfind(std::string(dir) + "/tessivar-", 0), 0u) << path;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    ASSERT_TRUE(file.write("abc\0def", 7));
    ASSERT_TRUE(file.rewind());
    char back[8] = {};
    EXPECT_EQ(read(file.fd(), back, sizeof back), 7);
    EXPECT_EQ(std::string(back, 7), std::string("abc\0def", 7));
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "still there: " << path;

  setenv("TMPDIR", (std::string(dir) + "/missing").c_str(), 1);
  EXPECT_FALSE(TempFile().isOpen());

  if (old != nullptr) {
    setenv("TMPDIR", oldTmpdir.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  rmdir(dir);
}

}  // namespace
}  // namespace tessivar
