#include "engine/seed_file.h"

#include "support/channel_fixture.h"

#include <gtest/gtest.h>

namespace {

std::string FileXml(const std::string& index, const std::string& name, const std::string& size,
                    const std::string& md5len, const std::string& md5s)
{
    return "<file><fileindex>" + index + "</fileindex><filemd5>ABC</filemd5><filename>" + name +
           "</filename><filesize>" + size + "</filesize><fileblock_md5len>" + md5len +
           "</fileblock_md5len><fileblock_md5>" + md5s + "</fileblock_md5></file>";
}

std::string Digests(int n)
{
    return std::string(std::size_t(n) * 32, 'A');
}

std::string Seed(const std::string& header, const std::string& files)
{
    return "<task gameid=\"12\">" + header + "<filelist>" + files + "</filelist></task>";
}

const std::string kHeader = "<taskid>1234567890123</taskid><blocksize>65536</blocksize><srcdir>game</srcdir>"
                            "<filecount>1</filecount>";

TEST(SeedFileTest, ReadsHeaderAndCutsOutTheFileList)
{
    test_support::ChannelFixture fx({100000, 5}, 65536);
    const std::string text = fx.seed(987654321012345ull, "folder one");
    SeedHeader h;
    std::string list, error;
    ASSERT_TRUE(ParseSeed(text, h, list, &error)) << error;
    EXPECT_EQ(7u, h.game_id);
    EXPECT_EQ(987654321012345ull, h.task_id);
    EXPECT_EQ(65536u, h.block_size);
    EXPECT_EQ(2u, h.file_count);
    EXPECT_EQ("folder one", h.source_folder);
    EXPECT_EQ(0u, list.find("<filelist>"));
    // The markup runs to the end tag and the white space after it.
    EXPECT_EQ(fx.file_list() + "\n", list);

    std::vector<SeedFileEntry> files;
    ASSERT_TRUE(ParseSeedFileList(list, files, &error)) << error;
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ(1, files[1].index);
    EXPECT_EQ(5u, files[1].size);
    EXPECT_EQ(fx.block_md5(0), files[0].block_md5);
    EXPECT_EQ("dir\\file1.bin", files[1].name);
}

TEST(SeedFileTest, ElementOrderIsPartOfTheFormat)
{
    const std::string files = FileXml("0", "a.bin", "10", "32", Digests(1));
    struct Case {
        const char* what;
        std::string header;
        bool ok;
    } cases[] = {
        {"in order", kHeader, true},
        {"other elements between",
         "<x/><taskid>5</taskid><y>1</y><blocksize>65536</blocksize><z/><srcdir>g</srcdir>"
         "<filecount>1</filecount><w/>",
         true},
        {"blocksize after srcdir",
         "<taskid>5</taskid><srcdir>g</srcdir><blocksize>65536</blocksize>"
         "<filecount>1</filecount>",
         false},
        {"taskid missing", "<blocksize>65536</blocksize><srcdir>g</srcdir><filecount>1</filecount>", false},
        {"filecount missing", "<taskid>5</taskid><blocksize>65536</blocksize><srcdir>g</srcdir>", false},
        {"srcdir before taskid",
         "<srcdir>g</srcdir><taskid>5</taskid><blocksize>65536</blocksize>"
         "<filecount>1</filecount>",
         false},
    };
    for (const Case& c : cases) {
        SeedHeader h;
        std::string list;
        EXPECT_EQ(c.ok, ParseSeed(Seed(c.header, files), h, list)) << c.what;
    }
    SeedHeader h;
    std::string list;
    EXPECT_FALSE(ParseSeed("<task><taskid>1</taskid>", h, list));
    EXPECT_FALSE(ParseSeed("<other/>", h, list));
    // Header before the file list in another order inside a file entry.
    const std::string swapped = "<file><filemd5>A</filemd5><fileindex>0</fileindex><filename>a</filename>"
                                "<filesize>1</filesize><fileblock_md5len>0</fileblock_md5len>"
                                "<fileblock_md5></fileblock_md5></file>";
    EXPECT_FALSE(ParseSeed(Seed(kHeader, swapped), h, list));
}

TEST(SeedFileTest, GameIdMissingOrNotNumericIsZero)
{
    const std::string files = FileXml("0", "a.bin", "10", "32", Digests(1));
    for (const char* root : {"<task>", "<task gameid=\"abc\">", "<task gameid=\"  42x\">"}) {
        const std::string text = std::string(root) + kHeader + "<filelist>" + files + "</filelist></task>";
        SeedHeader h;
        h.game_id = 99;
        std::string list;
        ASSERT_TRUE(ParseSeed(text, h, list)) << root;
        EXPECT_EQ(std::string(root).find("42") != std::string::npos ? 42u : 0u, h.game_id) << root;
    }
}

TEST(SeedFileTest, HostileSeedsAreRefused)
{
    const std::string good = FileXml("0", "a.bin", "10", "32", Digests(1));
    auto header = [](const std::string& blocksize, const std::string& srcdir) {
        return "<taskid>9</taskid><blocksize>" + blocksize + "</blocksize><srcdir>" + srcdir +
               "</srcdir><filecount>1</filecount>";
    };
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"blocksize 0", Seed(header("0", "g"), good)},
        {"blocksize not a number", Seed(header("abc", "g"), good)},
        {"blocksize negative", Seed(header("-32768", "g"), good)},
        {"blocksize beyond 32 bits", Seed(header("4294967296", "g"), good)},
        {"blocksize beyond the write cache", Seed(header("1073741824", "g"), good)},
        {"srcdir of 50 characters", Seed(header("65536", std::string(50, 'd')), good)},
        {"srcdir climbing out", Seed(header("65536", "..\\up"), good)},
        {"srcdir absolute", Seed(header("65536", "/etc"), good)},
        {"fileindex starting at 1", Seed(kHeader, FileXml("1", "a", "10", "32", Digests(1)))},
        {"fileindex out of order", Seed(kHeader, FileXml("0", "a", "1", "0", "") + FileXml("2", "b", "1", "0", "") +
                                                     FileXml("1", "c", "1", "0", ""))},
        {"fileindex repeated", Seed(kHeader, FileXml("0", "a", "1", "0", "") + FileXml("0", "b", "1", "0", ""))},
        {"md5len beyond its text", Seed(kHeader, FileXml("0", "a", "10", "33", Digests(1)))},
        {"md5len negative", Seed(kHeader, FileXml("0", "a", "10", "-1", Digests(1)))},
        {"name climbing out", Seed(kHeader, FileXml("0", "..\\..\\evil.dll", "10", "32", Digests(1)))},
        {"name climbing out midway", Seed(kHeader, FileXml("0", "dir/../../evil", "10", "32", Digests(1)))},
        {"name naming a folder", Seed(kHeader, FileXml("0", "dir\\a.bin/", "10", "32", Digests(1)))},
        {"name absolute", Seed(kHeader, FileXml("0", "\\\\server\\share", "10", "32", Digests(1)))},
        {"name with a drive", Seed(kHeader, FileXml("0", "c:\\windows\\x", "10", "32", Digests(1)))},
        {"name empty", Seed(kHeader, FileXml("0", "", "10", "32", Digests(1)))},
        {"a file without fileblock_md5", Seed(kHeader, "<file><fileindex>0</fileindex><filemd5>A</filemd5>"
                                                       "<filename>a</filename><filesize>1</filesize>"
                                                       "<fileblock_md5len>0</fileblock_md5len></file>")},
        // Tables of a few hundred bytes per piece: a tiny seed must not cost gigabytes.
        {"blocksize 1", Seed(header("1", "g"), FileXml("0", "a", "1", "32", Digests(1)))},
        {"blocksize below a block", Seed(header("32767", "g"), FileXml("0", "a", "10", "32", Digests(1)))},
        {"one piece too many",
         Seed(header("32768", "g"),
              FileXml("0", "a", std::to_string((kMaxChannelPieces + 1) * 32768),
                      std::to_string((kMaxChannelPieces + 1) * 32), Digests(int(kMaxChannelPieces + 1))))},
        // Block tables cost about five bytes per block: 512 GiB would take 80 MiB.
        {"512 GiB in 32 MiB pieces",
         Seed(header("33554432", "g"), FileXml("0", "a", "549755813888", std::to_string(16384 * 32), Digests(16384)))},
        // A piece without its digest fails every check: the task would never end.
        {"digest text one character short", Seed(kHeader, FileXml("0", "a", "200000", "127", Digests(4)))},
        {"digest length cut to nothing", Seed(kHeader, FileXml("0", "a", "10", "0", Digests(1)))},
        {"second file without digests", Seed(kHeader, FileXml("0", "a", "10", "32", Digests(1)) +
                                                          FileXml("1", "b", "65537", "40", Digests(1) + "12345678"))},
        {"digest not hexadecimal", Seed(kHeader, FileXml("0", "a", "10", "32", std::string(31, 'A') + "G"))},
        {"huge file for its piece size",
         Seed(header("32768", "g"), FileXml("0", "a", "18446744073709551615", "0", ""))},
    };
    for (const Case& c : cases) {
        SeedHeader h;
        std::string list = "untouched", error;
        EXPECT_FALSE(ParseSeed(c.text, h, list, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
        EXPECT_TRUE(list.empty()) << c.what;
    }
}

TEST(SeedFileTest, AcceptedEdgeValues)
{
    auto header = [](const std::string& blocksize) {
        return "<taskid>9</taskid><blocksize>" + blocksize + "</blocksize><srcdir>g</srcdir><filecount>1</filecount>";
    };
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"srcdir of 49 characters", "<task><taskid>1</taskid><blocksize>65536</blocksize><srcdir>" +
                                        std::string(49, 'd') + "</srcdir><filecount>0</filecount><filelist/></task>"},
        {"empty srcdir", "<task><taskid>1</taskid><blocksize>65536</blocksize><srcdir></srcdir>"
                         "<filecount>0</filecount><filelist></filelist></task>"},
        {"piece size not a multiple of 32768", Seed("<taskid>1</taskid><blocksize>40000</blocksize><srcdir>g</srcdir>"
                                                    "<filecount>1</filecount>",
                                                    FileXml("0", "a", "90000", "96", Digests(3)))},
        {"pieces at the limit",
         Seed(header("32768"), FileXml("0", "a", std::to_string(kMaxChannelPieces * 32768),
                                       std::to_string(kMaxChannelPieces * 32), Digests(int(kMaxChannelPieces))))},
        {"lower-case digests and a longer text",
         Seed(kHeader, FileXml("0", "a", "65537", "66", std::string(64, 'f') + "zz"))},
        {"leading separator and sub folders", Seed(kHeader, FileXml("0", "\\data\\sub\\x.pak", "1", "32", Digests(1)))},
        {"dots inside names", Seed(kHeader, FileXml("0", "a..b\\.\\c...", "1", "32", Digests(1)))},
    };
    for (const Case& c : cases) {
        SeedHeader h;
        std::string list, error;
        EXPECT_TRUE(ParseSeed(c.text, h, list, &error)) << c.what << ": " << error;
    }
}

TEST(SeedFileTest, FullReadingSumsSizesAndReportsMissingElements)
{
    struct Case {
        const char* what;
        std::string text;
        int result;
        std::uint64_t total;
    } cases[] = {
        {"two files", Seed(kHeader, FileXml("0", "a", "10", "0", "") + FileXml("1", "b", "32", "0", "")), 0, 42},
        {"no file elements", Seed(kHeader, ""), 0, 0},
        {"third file lacks fileblock_md5",
         Seed(kHeader, FileXml("0", "a", "10", "0", "") + FileXml("1", "b", "5", "0", "") +
                           "<file><fileindex>2</fileindex><filemd5>A</filemd5><filename>c</filename>"
                           "<filesize>1000</filesize><fileblock_md5len>0</fileblock_md5len></file>"),
         2, 15},
        {"no filelist",
         "<task><taskid>1</taskid><blocksize>1</blocksize><srcdir>s</srcdir><filecount>0</filecount></task>", 2, 0},
        {"no task", "<other/>", 2, 0},
        {"not well formed", "<task>", 1, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t game = 0;
        std::uint64_t id = 0, total = 77;
        std::string folder;
        EXPECT_EQ(c.result, ParseTaskXml(c.text, &game, &id, &total, folder)) << c.what;
        EXPECT_EQ(c.total, total) << c.what;
    }
    std::uint32_t game = 0;
    std::uint64_t id = 0, total = 0;
    std::string folder;
    ASSERT_EQ(0, ParseTaskXml(Seed(kHeader, ""), &game, &id, &total, folder));
    EXPECT_EQ(12u, game);
    EXPECT_EQ(1234567890123ull, id);
    EXPECT_EQ("game", folder);
}

TEST(SeedFileTest, DecimalsReadTheCWay)
{
    struct Case {
        const char* text;
        std::int64_t value;
        bool overflow;
    } cases[] = {
        {"  42abc", 42, false},
        {"abc", 0, false},
        {"", 0, false},
        {"-17", -17, false},
        {"+5", 5, false},
        {"\t\n 7", 7, false},
        {"99999999999999999999", INT64_MAX, true},
    };
    for (const Case& c : cases) {
        bool over = !c.overflow;
        EXPECT_EQ(c.value, SeedDecimal(c.text, &over)) << c.text;
        EXPECT_EQ(c.overflow, over) << c.text;
    }
}

TEST(SeedFileTest, SafeRelativePaths)
{
    for (const char* ok : {"a", "\\a\\b.txt", "/a/b", "a..b", "...", "x/./y"})
        EXPECT_TRUE(IsSafeRelativePath(ok)) << ok;
    for (const char* bad : {"", "\\", "..", "a\\..\\..\\b", "../x", "a/..", "\\\\host\\x", "//x", "c:\\x", "c:x"})
        EXPECT_FALSE(IsSafeRelativePath(bad)) << bad;
}

}   // namespace

namespace {

TEST(SeedFileTest, CutAndMutatedSeedsAreHandled)
{
    test_support::ChannelFixture fx({70000, 3}, 32768);
    const std::string seed = fx.seed(5);
    SeedHeader h;
    std::string list;
    ASSERT_TRUE(ParseSeed(seed, h, list));
    // Every cut short of the root's end tag is refused.
    const std::size_t end = seed.rfind("</task>") + 7;
    for (std::size_t n = 0; n < end; ++n) {
        std::uint32_t game = 0;
        std::uint64_t id = 0, total = 0;
        std::string folder;
        EXPECT_FALSE(ParseSeed(seed.substr(0, n), h, list)) << n;
        EXPECT_NE(0, ParseTaskXml(seed.substr(0, n), &game, &id, &total, folder)) << n;
    }
    // Bytes replaced here and there: any result, but a safe one.
    std::uint32_t x = 99;
    for (int i = 0; i < 2000; ++i) {
        std::string mutated = seed;
        for (int k = 0; k < 3; ++k) {
            x = x * 1103515245u + 12345u;
            mutated[(x >> 8) % mutated.size()] = "<>/-9x.\\\0 "[(x >> 20) % 10];
        }
        std::vector<SeedFileEntry> files;
        if (ParseSeed(mutated, h, list)) {
            EXPECT_GT(h.block_size, 0u);
            EXPECT_LE(h.source_folder.size(), kMaxSourceFolder);
            ASSERT_TRUE(ParseSeedFileList(list, files));
            for (const SeedFileEntry& f : files)
                EXPECT_TRUE(IsSafeRelativePath(f.name)) << f.name;
        }
    }
}

}   // namespace
