// sameFile tells whether two names are one file: the same inode on the same
// file system. Inode numbers alone repeat across file systems (the root of
// /proc and of /sys are both inode 1 on Linux).
#include "base/file_kind.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli.h"

namespace {

TEST(SameFile, OneInodeNumberOnTwoFileSystemsIsTwoFiles) {
  const std::vector<std::string> roots = {"/proc",          "/sys", "/dev", "/dev/pts", "/dev/shm",
                                          "/sys/fs/cgroup", "/run", "/"};
  std::string a, b;
  for (size_t i = 0; i < roots.size() && a.empty(); ++i) {
    for (size_t j = i + 1; j < roots.size() && a.empty(); ++j) {
      struct stat si, sj;
      if (::stat(roots[i].c_str(), &si) != 0 || ::stat(roots[j].c_str(), &sj) != 0) continue;
      if (si.st_ino == sj.st_ino && si.st_dev != sj.st_dev) {
        a = roots[i];
        b = roots[j];
      }
    }
  }
  if (a.empty()) GTEST_SKIP() << "no two file systems here share an inode number";
  EXPECT_FALSE(sameFile(a, b)) << a << " and " << b;
  EXPECT_TRUE(sameFile(a, a));
}

TEST(SameFile, TwoNamesOfOneFileAreOneFile) {
  dztest::TempDir dir;
  dztest::writeFile(dir.file("f"), "x");
  dztest::writeFile(dir.file("g"), "x");
  ASSERT_EQ(::link(dir.file("f").c_str(), dir.file("h").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("f").c_str(), dir.file("s").c_str()), 0);
  EXPECT_TRUE(sameFile(dir.file("f"), dir.file("h")));
  EXPECT_TRUE(sameFile(dir.file("f"), dir.file("s")));
  EXPECT_FALSE(sameFile(dir.file("f"), dir.file("g")));
  EXPECT_FALSE(sameFile(dir.file("f"), dir.file("missing")));
}

}  // namespace
