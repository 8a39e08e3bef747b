#include "engine/bitmap_file.h"

#include "platform/paths.h"
#include "support/channel_fixture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using Tables = std::vector<std::vector<std::uint8_t>>;

// Bytes of a string literal, NULs included.
template <std::size_t N>
std::string B(const char (&s)[N])
{
    return std::string(s, N - 1);
}

std::string U32(std::uint32_t v)
{
    return std::string{char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char(v >> 24)};
}

TEST(BitmapFileTest, TwoPiecesOfThreeBlocksAreTwentyBytes)
{
    const std::vector<std::uint8_t> bitmap{1, 1};
    const Tables tables{{1, 1, 1}, {1, 1, 1}};
    const std::string bytes = EncodeBitmapRecord(bitmap, tables);
    ASSERT_EQ(20u, bytes.size());
    EXPECT_EQ(U32(2) + std::string("\1\1", 2) + U32(3) + std::string("\1\1\1", 3) + U32(3) + std::string("\1\1\1", 3),
              bytes);

    test_support::TempDir dir;
    const std::string path = dir.file("5.bbm");
    ASSERT_TRUE(WriteBitmapFile(path, bitmap, tables));
    EXPECT_EQ(bytes, test_support::ReadAll(path));
    std::vector<std::uint8_t> b2;
    Tables t2;
    ASSERT_EQ(kBitmapOk, ReadBitmapFile(path, b2, t2));
    EXPECT_EQ(bitmap, b2);
    EXPECT_EQ(tables, t2);
}

TEST(BitmapFileTest, DecodingNeverTrustsTheLengths)
{
    struct Case {
        const char* what;
        std::string data;
        int result;
        std::size_t bitmap;
        std::size_t tables;
    } cases[] = {
        {"only the length 0", U32(0), kBitmapOk, 0, 0},
        {"empty file", "", kBitmapOk, 0, 0},
        {"two bytes", B("\1\0"), kBitmapOk, 0, 0},
        {"bitmap without records", U32(2) + B("\1\0"), kBitmapOk, 2, 0},
        {"one record of two", U32(2) + B("\1\0") + U32(1) + B("\1"), kBitmapOk, 2, 1},
        {"record length cut short", U32(2) + B("\1\0") + U32(1) + B("\1") + B("\2\0"), kBitmapOk, 2, 1},
        {"huge bitmap length", U32(0xffffffffu) + B("\1\1\1"), kBitmapBadLength, 0, 0},
        {"bitmap one byte short", U32(3) + B("\1\1"), kBitmapBadLength, 0, 0},
        {"huge record length", U32(1) + B("\1") + U32(0x7fffffffu) + B("\1"), kBitmapBadRecord, 0, 0},
        {"record one byte short", U32(1) + B("\1") + U32(4) + B("\1\1\1"), kBitmapBadRecord, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bitmap{9};
        Tables tables{{9}};
        EXPECT_EQ(c.result, DecodeBitmapRecord(c.data.data(), c.data.size(), bitmap, tables)) << c.what;
        EXPECT_EQ(c.bitmap, bitmap.size()) << c.what;
        EXPECT_EQ(c.tables, tables.size()) << c.what;
    }
}

TEST(BitmapFileTest, EveryPrefixOfAGoodRecordDecodesSafely)
{
    const std::string bytes = EncodeBitmapRecord({1, 0, 1}, {{1, 1}, {0, 1, 0}, {1}});
    for (std::size_t n = 0; n <= bytes.size(); ++n) {
        std::vector<std::uint8_t> bitmap;
        Tables tables;
        const int r = DecodeBitmapRecord(bytes.data(), n, bitmap, tables);
        EXPECT_TRUE(r == kBitmapOk || r == kBitmapBadLength || r == kBitmapBadRecord) << n;
        EXPECT_LE(tables.size(), bitmap.size()) << n;
        if (n == bytes.size()) {
            EXPECT_EQ(kBitmapOk, r);
            EXPECT_EQ(3u, tables.size());
        }
    }
}

TEST(BitmapFileTest, TheRecordOfALargeTaskIsReadBack)
{
    // 65536 pieces of 8 MiB (256 blocks each), half a TiB: about 17 MB of
    // record, which must read back whole for the task to resume.
    const std::size_t pieces = 65536;
    std::vector<std::uint8_t> bitmap(pieces, 1);
    bitmap[pieces - 1] = 0;
    Tables tables(pieces, std::vector<std::uint8_t>(256, 1));
    tables[pieces - 1][255] = 0;
    test_support::TempDir dir;
    const std::string path = dir.file("9.bbm");
    ASSERT_TRUE(WriteBitmapFile(path, bitmap, tables));
    std::vector<std::uint8_t> b2;
    Tables t2;
    ASSERT_EQ(kBitmapOk, ReadBitmapFile(path, b2, t2));
    EXPECT_TRUE(b2 == bitmap);
    EXPECT_TRUE(t2 == tables);
}

TEST(BitmapFileTest, MissingFileAndFailedWrite)
{
    test_support::TempDir dir;
    std::vector<std::uint8_t> bitmap{1};
    Tables tables{{1}};
    EXPECT_EQ(kBitmapCannotOpen, ReadBitmapFile(dir.file("none.bbm"), bitmap, tables));
    EXPECT_TRUE(bitmap.empty());
    EXPECT_TRUE(tables.empty());
    // A folder where the file should go: the save must report failure.
    ASSERT_TRUE(platform::create_folder(dir.file("taken.bbm")));
    EXPECT_FALSE(WriteBitmapFile(dir.file("taken.bbm"), {1}, {{1}}));
}

TEST(BitmapFileTest, ConcurrentSavesLeaveOneWholeFile)
{
    test_support::TempDir dir;
    const std::string path = dir.file("77.bbm");
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::vector<std::uint8_t> bitmap(64, std::uint8_t(t));
            const Tables tables(64, std::vector<std::uint8_t>(std::size_t(t) + 1, std::uint8_t(t)));
            for (int i = 0; i < 25; ++i) {
                if (!WriteBitmapFile(path, bitmap, tables))
                    failed = true;
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        std::vector<std::uint8_t> bitmap;
        Tables tables;
        const int r = ReadBitmapFile(path, bitmap, tables);
        if (r == kBitmapCannotOpen)
            continue;   // not written yet
        ASSERT_EQ(kBitmapOk, r);
        ASSERT_EQ(64u, bitmap.size());
        ASSERT_EQ(64u, tables.size());
        for (const auto& t : tables)
            ASSERT_EQ(std::vector<std::uint8_t>(std::size_t(bitmap[0]) + 1, bitmap[0]), t);
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(failed);
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::list_folder(dir.path(), entries));
    EXPECT_EQ(1u, entries.size());   // no temporary file left behind
}

}   // namespace
