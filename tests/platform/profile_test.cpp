#include "platform/profile.h"

#include "platform/paths.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using test_support::TempDir;

namespace {

std::string text_of(const std::string& file)
{
    std::string s;
    platform::read_file(file, s);
    return s;
}

}   // namespace

TEST(Profile, ReadsValuesCaseBlindWithFallbacks)
{
    TempDir dir;
    const std::string f = dir.file("p.ini");
    ASSERT_TRUE(platform::write_file_atomically(f, std::string("; comment\r\n[Main]\r\n key = value \r\n"
                                                               "quoted=\"a b\"\r\nempty=\r\n[Other]\r\nkey=2\r\n")));
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"Main", "key", "value"}, {"main", "KEY", "value"},    {"Main", "quoted", "a b"},  {"Main", "empty", ""},
        {"Other", "key", "2"},    {"Main", "missing", "dflt"}, {"Missing", "key", "dflt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::get_profile_string(c.section, c.key, "dflt", f), c.expected) << c.section << "/" << c.key;
    EXPECT_EQ(platform::get_profile_string("Main", "key", "dflt", dir.file("none.ini")), "dflt");
}

TEST(Profile, WritesKeepTheRestOfTheFile)
{
    TempDir dir;
    const std::string f = dir.file("sub/p.ini");
    ASSERT_TRUE(platform::write_profile_string("A", "x", "1", f));
    ASSERT_TRUE(platform::write_profile_string("B", "y", "2", f));
    ASSERT_TRUE(platform::write_profile_string("a", "X", "3", f));   // same key, other case
    ASSERT_TRUE(platform::write_profile_string("A", "z", "4", f));
    EXPECT_EQ(text_of(f), "[A]\nX=3\nz=4\n[B]\ny=2\n");   // the line takes the new spelling
    EXPECT_FALSE(platform::write_profile_string("", "k", "v", f));
    EXPECT_FALSE(platform::write_profile_string("A", "", "v", f));
    EXPECT_FALSE(platform::write_profile_string("A", "k=v", "v", f));

    ASSERT_TRUE(platform::delete_profile_key("A", "x", f));
    EXPECT_EQ(text_of(f), "[A]\nz=4\n[B]\ny=2\n");
    ASSERT_TRUE(platform::delete_profile_key("A", "", f));
    EXPECT_EQ(text_of(f), "[B]\ny=2\n");
}

TEST(Profile, SectionWriteReplacesAndAnEmptyListEmptiesIt)
{
    TempDir dir;
    const std::string f = dir.file("local_task_list.cfg");
    ASSERT_TRUE(platform::write_file_atomically(
        f, std::string("[100]\ngameid=7\ntaskstate=2\n[200]\ngameid=7\ntaskstate=1\n")));

    ASSERT_TRUE(platform::write_profile_section("100", {}, f));
    EXPECT_EQ(text_of(f), "[100]\n[200]\ngameid=7\ntaskstate=1\n");
    EXPECT_TRUE(platform::read_profile_section("100", f).empty());
    EXPECT_EQ(platform::get_profile_string("100", "gameid", "none", f), "none");

    ASSERT_TRUE(platform::write_profile_section("200", {{"gameid", "8"}, {"seedurl", "http://x/y"}}, f));
    const platform::ProfileEntries e = platform::read_profile_section("200", f);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], std::make_pair(std::string("gameid"), std::string("8")));
    EXPECT_EQ(e[1], std::make_pair(std::string("seedurl"), std::string("http://x/y")));

    ASSERT_TRUE(platform::write_profile_section("300", {}, f));   // created, empty
    const std::vector<std::string> names = platform::profile_section_names(f);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[2], "300");
    EXPECT_FALSE(platform::write_profile_section("300", {{"bad=key", "v"}}, f));
}
