#include "foundation/disk_file.h"

#include "platform/paths.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>

using test_support::TempDir;

TEST(DiskFile, ReadWriteCreatesFileAndParentFolder)
{
    TempDir dir;
    const std::string path = dir.file("game/sub/data.pak");
    CDiskFile f(path, false);
    EXPECT_TRUE(f.IsOpen());
    EXPECT_TRUE(platform::file_exists(path));
    EXPECT_EQ(f.GetSize(), 0);
    EXPECT_EQ(f.Write(10, "hello", 5), 5u);
    EXPECT_EQ(f.GetSize(), 15);
    char buf[8] = {};
    EXPECT_EQ(f.Read(10, buf, 5), 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(f.Read(15, buf, 5), 0u);   // at the end
    EXPECT_EQ(f.Read(12, buf, 8), 3u);   // short read at the end
}

TEST(DiskFile, OffsetsBeyondFourGigabytesAreSparse)
{
    TempDir dir;
    CDiskFile f(dir.file("big.bin"), false);
    const std::uint64_t offset = (5ull << 30) + 123;   // past every 32-bit offset
    ASSERT_EQ(f.Write(offset, "tail", 4), 4u);
    EXPECT_EQ(f.GetSize(), static_cast<std::int64_t>(offset + 4));
    char buf[4] = {};
    ASSERT_EQ(f.Read(offset, buf, 4), 4u);
    EXPECT_EQ(std::memcmp(buf, "tail", 4), 0);
    ASSERT_EQ(f.Read(1ull << 32, buf, 4), 4u);   // the hole reads as zeros
    EXPECT_EQ(std::memcmp(buf, "\0\0\0\0", 4), 0);
}

TEST(DiskFile, SetSizeAndOnDemandOpen)
{
    TempDir dir;
    const std::string path = dir.file("f.bin");
    CDiskFile f(path, false);
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_TRUE(f.SetSize(6ll << 30));   // opens and closes around it
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.GetSize(), 6ll << 30);
    EXPECT_FALSE(f.SetSize(0));   // ignored
    EXPECT_FALSE(f.SetSize(-5));
    EXPECT_EQ(platform::file_size(path), 6ll << 30);
    EXPECT_TRUE(f.SetSize(100));   // shrinking moves the end too
    EXPECT_EQ(f.GetSize(), 100);

    EXPECT_EQ(f.Write(0, "abc", 3), 3u);   // opens read/write, closes again
    EXPECT_FALSE(f.IsOpen());
    char buf[3];
    EXPECT_EQ(f.Read(0, buf, 3), 3u);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST(DiskFile, ReadOnlyModeAndMissingFiles)
{
    TempDir dir;
    const std::string missing = dir.file("none/missing.bin");
    CDiskFile ro(missing, true);
    EXPECT_FALSE(ro.IsOpen());   // must exist
    EXPECT_FALSE(platform::file_exists(missing));
    EXPECT_EQ(ro.GetSize(), 0);   // cannot be opened for the query
    char buf[4];
    EXPECT_EQ(ro.Read(0, buf, 4), 0u);
    EXPECT_TRUE(platform::folder_exists(dir.file("none")));   // the parent is made anyway

    const std::string path = dir.file("x.bin");
    {
        CDiskFile rw(path, false);
        ASSERT_EQ(rw.Write(0, "data", 4), 4u);
    }
    CDiskFile f(path, true);
    EXPECT_TRUE(f.IsOpen());
    EXPECT_TRUE(f.IsReadOnly());
    EXPECT_EQ(f.Write(0, "zz", 2), 0u);   // a read-only handle refuses writes
    ASSERT_TRUE(f.Open(0));
    EXPECT_FALSE(f.IsReadOnly());
    EXPECT_EQ(f.Write(0, "zz", 2), 2u);
    EXPECT_EQ(f.Read(0, buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "zzta");
    EXPECT_EQ(f.Write(0, nullptr, 2), 0u);
    EXPECT_EQ(f.Read(0, buf, 0), 0u);
}
