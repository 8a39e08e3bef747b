#include "fagex/fagexAtomicFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "temp_folder.h"

using fagex_test::readFile;
using fagex_test::TempFolder;
using fagex_test::writeFile;

TEST(AtomicFileTest, CreatesAndReplaces)
{
    TempFolder dir;
    const std::string path = dir.file("a.bbm");
    ASSERT_TRUE(fagex::writeFileAtomically(path, std::string("\x01\x00\x02", 3)));
    EXPECT_EQ(readFile(path), std::string("\x01\x00\x02", 3));
    ASSERT_TRUE(fagex::writeFileAtomically(path, ""));
    EXPECT_EQ(readFile(path), "");
    EXPECT_EQ(dir.listing(), "a.bbm");
}

TEST(AtomicFileTest, FailuresLeaveTheOldFile)
{
    TempFolder dir;
    const std::string path = dir.file("a.cfg");
    writeFile(path, "old");
    std::string error;
    EXPECT_FALSE(fagex::writeFileAtomically(path, "new", &error, [](const char*, const char*) { return -1; }));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(dir.listing(), "a.cfg");

    EXPECT_FALSE(fagex::writeFileAtomically("", "x", &error));
    EXPECT_FALSE(fagex::writeFileAtomically(dir.file("missing/a.cfg"), "x", &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

TEST(AtomicFileTest, ReplacementKeepsThePermissions)
{
    TempFolder dir;
    const std::string path = dir.file("private.cfg");
    writeFile(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(fagex::writeFileAtomically(path, "new"));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(path), "new");
}
