#include "fagex/fagexConfigFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fagex/fagexAtomicFile.h"
#include "temp_folder.h"

namespace fagex {
// Readable failure messages: every section, empty ones included.
void PrintTo(const ConfigFile& cfg, std::ostream* os)
{
    for (const auto& section : cfg.getAll()) {
        *os << "[" << ::testing::PrintToString(section.first) << "]";
        for (const auto& entry : section.second)
            *os << " " << ::testing::PrintToString(entry.first) << "=" << ::testing::PrintToString(entry.second);
        *os << "\n";
    }
}
}   // namespace fagex

using fagex::ConfigFile;
using fagex_test::readFile;
using fagex_test::TempFolder;
using fagex_test::writeFile;

namespace {

// "section/key=value|..." for the whole content, in iteration order.
std::string describe(ConfigFile& cfg)
{
    std::string out;
    ConfigFile::SectionIterator sections = cfg.getSectionIterator();
    while (sections.hasMoreElements()) {
        const std::string name = sections.peekNextKey();
        ConfigFile::SettingsMultiMap& settings = sections.getNext();
        for (const auto& entry : settings)
            out += name + "/" + entry.first + "=" + entry.second + "|";
        if (settings.empty())
            out += name + "/|";
    }
    return out;
}

ConfigFile parse(const std::string& text)
{
    ConfigFile cfg;
    cfg.loadFromString(text);
    return cfg;
}

}   // namespace

TEST(ConfigFileTest, SectionsAndKeysComeInAscendingTextOrder)
{
    ConfigFile cfg = parse("[b]\nz=1\na=2\n"
                           "[a]\n10=x\n2=y\n"
                           "[B]\nk=v\n");
    EXPECT_EQ(describe(cfg), "B/k=v|a/10=x|a/2=y|b/a=2|b/z=1|");
}

TEST(ConfigFileTest, LineSplittingTable)
{
    struct Case {
        const char* line;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"key=value", "key", "value"},
        {"key = value", "key", "value"},
        {"key:value", "key", "value"},
        {"key\tvalue", "key", "value"},
        {"key value with blanks", "key", "value with blanks"},
        {"save_path=C:\\Program Files\\game", "save_path", "C:\\Program Files\\game"},
        {"lasttime=12:30:05", "lasttime", "12:30:05"},
        {"seedurl=http://127.0.0.1:81/a.txt", "seedurl", "http://127.0.0.1:81/a.txt"},
        {"decription=", "decription", ""},
        {"key==:value", "key", "value"},
        {"  key=value  \r", "key", "value"},
        {"=value", "", "value"},
    };
    for (const Case& c : cases) {
        ConfigFile cfg = parse(std::string("[s]\n") + c.line + "\n");
        auto all = cfg.getAll();
        ASSERT_EQ(all["s"].size(), 1u) << c.line;
        EXPECT_EQ(all["s"].begin()->first, c.key) << c.line;
        EXPECT_EQ(all["s"].begin()->second, c.value) << c.line;
    }
}

TEST(ConfigFileTest, IgnoredLinesAndBlankSection)
{
    ConfigFile cfg = parse("\xEF\xBB\xBF"
                           "top=1\n# comment=1\n@also=1\nnoseparator\n\n[s]\nk=v");
    EXPECT_EQ(describe(cfg), "/top=1|s/k=v|");
    // No entries before the first section: no blank section either.
    EXPECT_FALSE(parse("[s]\nk=v\n").hasSection(""));
}

TEST(ConfigFileTest, RepeatedSectionsMergeAndKeysKeepEveryValueInOrder)
{
    ConfigFile cfg = parse("[s]\nk=1\nk=2\n[t]\nx=0\n[s]\nk=3\n");
    EXPECT_EQ(cfg.getMultiSetting("s", "k"), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(cfg.getSetting("s", "k"), "1");
    cfg.addSetting("s", "k", "4");
    EXPECT_EQ(cfg.getMultiSetting("s", "k").back(), "4");
    EXPECT_EQ(cfg.getSetting("s", "k"), "1");
}

TEST(ConfigFileTest, GetSettingOfMissingSectionOrKeyIsEmpty)
{
    ConfigFile cfg = parse("[s]\nk=v\n");
    EXPECT_EQ(cfg.getSetting("s", "k"), "v");
    EXPECT_EQ(cfg.getSetting("s", "missing"), "");
    EXPECT_EQ(cfg.getSetting("missing", "k"), "");
}

TEST(ConfigFileTest, SetSettingChangesEveryEntryAndNeverAdds)
{
    ConfigFile cfg = parse("[s]\nk=1\nk=2\nother=x\n");
    EXPECT_EQ(cfg.setSetting("s", "k", "9"), 2u);
    EXPECT_EQ(cfg.getMultiSetting("s", "k"), (std::vector<std::string>{"9", "9"}));
    EXPECT_EQ(cfg.setSetting("s", "absent", "1"), 0u);
    EXPECT_EQ(cfg.setSetting("absent", "k", "1"), 0u);
    EXPECT_FALSE(cfg.hasSection("absent"));
    EXPECT_EQ(describe(cfg), "s/k=9|s/k=9|s/other=x|");
}

TEST(ConfigFileTest, AddSettingCreatesTheSection)
{
    ConfigFile cfg;
    cfg.addSetting("new", "k", "v");
    EXPECT_EQ(cfg.getSetting("new", "k"), "v");
    EXPECT_EQ(cfg.removeSetting("new", "k"), 1u);
    EXPECT_EQ(cfg.getSetting("new", "k"), "");
    cfg.clear();
    EXPECT_FALSE(cfg.hasSection("new"));
}

TEST(ConfigFileTest, SettingsIteratorWalksKeysAndThrowsForMissingSection)
{
    ConfigFile cfg = parse("[s]\nb=2\na=1\n");
    ConfigFile::SettingsIterator it = cfg.getSettingsIterator("s");
    ASSERT_TRUE(it.hasMoreElements());
    EXPECT_EQ(it.peekNextKey(), "a");
    EXPECT_EQ(it.getNext(), "1");
    EXPECT_EQ(it.peekNextKey(), "b");
    it.moveNext();
    EXPECT_FALSE(it.hasMoreElements());

    try {
        cfg.getSettingsIterator("Preferred_Settings");
        FAIL() << "no exception";
    } catch (const fagex::ItemIdentityException& e) {
        EXPECT_EQ(e.getDescription(), "Cannot find section Preferred_Settings");
        EXPECT_EQ(e.getNumber(), fagex::Exception::ERR_ITEM_NOT_FOUND);
    }
}

TEST(ConfigFileTest, MissingFileThrowsAndKeepsContent)
{
    TempFolder dir;
    ConfigFile cfg = parse("[s]\nk=v\n");
    const std::string missing = dir.file("nothing.ini");
    for (const std::string& name : {missing, dir.path()}) {   // a folder is no file either
        try {
            cfg.load(name);
            FAIL() << "no exception for " << name;
        } catch (const fagex::FileNotFoundException& e) {
            EXPECT_EQ(e.getDescription(), "'" + name + "' file not found!");
            EXPECT_EQ(e.getSource(), "ConfigFile::load");
        }
    }
    EXPECT_EQ(cfg.getSetting("s", "k"), "v");
}

TEST(ConfigFileTest, SaveFormatByteForByte)
{
    ConfigFile cfg;
    cfg.addSetting("Preferred_Settings", "max_download_speed", "5000.0");
    cfg.addSetting("Preferred_Settings", "ListenPort", "9000");
    cfg.addSetting("", "loose", "1");
    cfg.addSetting("dll_info", "k", "a");
    cfg.addSetting("dll_info", "k", "b");
    cfg.addSetting("empty", "x", "y");
    cfg.removeSetting("empty", "x");
    const std::string expected = "loose=1\n"
                                 "[Preferred_Settings]\nListenPort=9000\nmax_download_speed=5000.0\n"
                                 "[dll_info]\nk=a\nk=b\n"
                                 "[empty]\n";
    EXPECT_EQ(cfg.saveToString(), expected);

    TempFolder dir;
    const std::string path = dir.file("p2sp_config.ini");
    ASSERT_TRUE(cfg.save(path));
    EXPECT_EQ(readFile(path), expected);
    EXPECT_EQ(dir.listing(), "p2sp_config.ini");   // no temporary file left behind

    ConfigFile back;
    back.load(path);
    EXPECT_EQ(back, cfg);
}

TEST(ConfigFileTest, LineBreaksInValuesCannotInjectLines)
{
    ConfigFile cfg;
    cfg.addSetting("1", "decription", "evil\n[2]\ngameid=7");
    const std::string text = cfg.saveToString();
    EXPECT_EQ(text, "[1]\ndecription=evil [2] gameid=7\n");
    ConfigFile back = parse(text);
    EXPECT_FALSE(back.hasSection("2"));
}

TEST(ConfigFileTest, SaveReplacesOldFileAndKeepsItWhenRenameFails)
{
    TempFolder dir;
    const std::string path = dir.file("local_task_list.cfg");
    writeFile(path, "[1]\nold=1\n");

    std::string error;
    const bool ok = fagex::writeFileAtomically(path, "[1]\nnew=1\n", &error, [](const char*, const char*) {
        errno = EBUSY;
        return -1;
    });
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find("cannot replace"), std::string::npos) << error;
    EXPECT_EQ(readFile(path), "[1]\nold=1\n");
    EXPECT_EQ(dir.listing(), "local_task_list.cfg");   // the temporary file is gone

    ConfigFile cfg = parse("[1]\nnew=1\n");
    ASSERT_TRUE(cfg.save(path));
    EXPECT_EQ(readFile(path), "[1]\nnew=1\n");

    // A folder that cannot take files: save fails and says so.
    EXPECT_FALSE(cfg.save(dir.file("no/such/folder.cfg")));
}

TEST(ConfigFileTest, ConcurrentSavesAlwaysLeaveACompleteFile)
{
    TempFolder dir;
    const std::string path = dir.file("list.cfg");
    ConfigFile a = parse("[a]\nk=1\n");
    ConfigFile b = parse("[b]\nk=2\n");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                EXPECT_TRUE((t % 2 ? a : b).save(path));
        });
    }
    for (auto& th : threads)
        th.join();
    const std::string content = readFile(path);
    EXPECT_TRUE(content == "[a]\nk=1\n" || content == "[b]\nk=2\n") << content;
    EXPECT_EQ(dir.listing(), "list.cfg");
}

TEST(ConfigFileTest, RoundTripOfAwkwardContent)
{
    ConfigFile cfg;
    cfg.addSetting("", "k", "v");
    cfg.addSetting("12345678901234", "save_path", "D:\\games\\x y");
    cfg.addSetting("12345678901234", "file_list_name_10", "b.pak");
    cfg.addSetting("12345678901234", "file_list_name_2", "a.pak");
    cfg.addSetting("utf8", "name", "\xE6\xB8\xB8\xE6\x88\x8F");
    ConfigFile back = parse(cfg.saveToString());
    EXPECT_EQ(back, cfg);
    ConfigFile copy(back);
    EXPECT_EQ(copy, cfg);
}

TEST(ConfigFileTest, HostileInputNeverBreaksTheParser)
{
    std::string nul("[s]\nk=a\0b\n", 10);
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    const std::string huge = "[s]\nbig=" + std::string(1024 * 1024, 'x') + "\nafter=1\n";
    const std::string inputs[] = {
        nul,
        garbage,
        huge,
        "[unterminated\nk=v\n",
        "[",
        "]",
        "[]",
        "=",
        "[s]\r\nk=v\r\n",
        "[s]\nk=v",
        std::string("\0\0\0", 3),
        "\r\r\r\n\n",
        "[s]\n" + std::string(100000, '='),
    };
    for (const std::string& in : inputs) {
        ConfigFile cfg;
        EXPECT_NO_THROW(cfg.loadFromString(in));
        ConfigFile back = parse(cfg.saveToString());
        (void)back;
    }
    EXPECT_EQ(parse(nul).getSetting("s", "k"), std::string("a\0b", 3));
    EXPECT_EQ(parse(huge).getSetting("s", "big").size(), 1024u * 1024u);
    EXPECT_EQ(parse(huge).getSetting("s", "after"), "1");
    EXPECT_EQ(parse("[s]\r\nk=v\r\n").getSetting("s", "k"), "v");
    EXPECT_EQ(parse("[s]\nk=v").getSetting("s", "k"), "v");
    EXPECT_EQ(parse("[unterminated\nk=v\n").getSetting("", "k"), "v");

    // Every prefix of a real file loads.
    const std::string real = "[Preferred_Settings]\nListenPort=9000\nRIS_SOUTH=127.0.0.1\n[dll_info]\nx=y\n";
    for (size_t n = 0; n <= real.size(); ++n)
        EXPECT_NO_THROW(parse(real.substr(0, n)));
}

namespace {

// Hands out at most `chunk` bytes per read, as a slow file or pipe would.
class ChunkedStream : public fagex::DataStream {
public:
    ChunkedStream(std::string data, size_t chunk) : mData(std::move(data)), mChunk(chunk) {}
    size_t read(void* buf, size_t count) override
    {
        const size_t n = std::min({count, mChunk, mData.size() - mPos});
        std::memcpy(buf, mData.data() + mPos, n);
        mPos += n;
        return n;
    }
    bool eof() const override { return mPos >= mData.size(); }
    void close() override {}

private:
    std::string mData;
    size_t mChunk;
    size_t mPos = 0;
};

}   // namespace

TEST(ConfigFileTest, ResultDoesNotDependOnHowTheInputArrives)
{
    const std::string text =
        "\xEF\xBB\xBFtop=1\r\n[Preferred_Settings]\r\nListenPort = 9000\r\nsave=C:\\a b\n[1]\nk=v\nk=w";
    const ConfigFile whole = parse(text);
    for (size_t chunk = 1; chunk <= 9; ++chunk) {
        ChunkedStream stream(text, chunk);
        ConfigFile cfg;
        cfg.load(stream);
        EXPECT_EQ(cfg, whole) << "chunk " << chunk;
    }
}

TEST(ConfigFileTest, MutatedFilesLoadAndSurviveASecondRoundTrip)
{
    const std::string seed = "[Preferred_Settings]\nListenPort=9000\nRIS_SOUTH=127.0.0.1\nmax_download_speed=5000.0\n"
                             "[12]\ngameid=3\nfile_list_name_0=a b.pak\n[Branch]\n10=_New\n";
    const char alphabet[] = "[]=:\t \r\n#@\0x\xff";
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    for (int round = 0; round < 2000; ++round) {
        std::string input = seed;
        const int edits = 1 + static_cast<int>(next() % 8);
        for (int e = 0; e < edits; ++e) {
            const size_t pos = next() % (input.size() + 1);
            switch (next() % 3) {
            case 0:
                input.insert(pos, 1, alphabet[next() % (sizeof alphabet - 1)]);
                break;
            case 1:
                if (pos < input.size())
                    input.erase(pos, 1);
                break;
            default:
                if (pos < input.size())
                    input[pos] = static_cast<char>(next());
                break;
            }
        }
        ConfigFile first = parse(input);
        // What we write, we read back unchanged.
        ConfigFile second = parse(first.saveToString());
        ConfigFile third = parse(second.saveToString());
        ASSERT_EQ(first, second) << "round " << round;
        ASSERT_EQ(second, third) << "round " << round;
    }
}

TEST(ConfigFileTest, ReadersWritersAndSaversMayShareOneObject)
{
    TempFolder dir;
    ConfigFile cfg = parse("[Preferred_Settings]\nmax_download_speed=5000.0\n[game_last_version]\n12=0\n");
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i)
            cfg.setSetting("game_last_version", "12", std::to_string(i));
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i)
            cfg.addSetting("1" + std::to_string(i % 7), "k", "v");
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i)
            EXPECT_EQ(cfg.getSetting("Preferred_Settings", "max_download_speed"), "5000.0");
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i)
            EXPECT_TRUE(cfg.save(dir.file("p2sp_config.ini")));
    });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(cfg.getSetting("game_last_version", "12"), "299");
    ConfigFile back;
    back.load(dir.file("p2sp_config.ini"));
    EXPECT_EQ(back.getSetting("Preferred_Settings", "max_download_speed"), "5000.0");
}
