#include "fagex/fagexStringUtil.h"

#include <gtest/gtest.h>

using fagex::StringUtil;
using fagex::StringVector;

TEST(StringUtilTest, SplitTable)
{
    const struct {
        std::string text;
        std::string delims;
        unsigned maxSplits;
        StringVector pieces;
    } cases[] = {
        {"a/b/c", "/", 0, {"a", "b", "c"}},
        {"/a//b/", "/", 0, {"a", "b"}},
        {"", "/", 0, {}},
        {"///", "/", 0, {}},
        {"abc", "/", 0, {"abc"}},
        {"http://a\r\nhttp://b\n\n", "\r\n", 0, {"http://a", "http://b"}},
        {"a b\tc", "\t\n ", 0, {"a", "b", "c"}},
        {"a b c d", " ", 2, {"a", "b", "c d"}},
        {"  a  b  c", " ", 1, {"a", "b  c"}},
        {"a", " ", 1, {"a"}},
        {"abc", "", 0, {"abc"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StringUtil::split(c.text, c.delims, c.maxSplits), c.pieces) << "'" << c.text << "'";
    EXPECT_EQ(StringUtil::split("a b"), (StringVector{"a", "b"}));
}

TEST(StringUtilTest, TrimTable)
{
    const struct {
        std::string text;
        int form;   // 0: trim(s), 1: trim(s, false), 2: trim(s, false, true), 3: trim(s, true, false)
        std::string result;
    } cases[] = {
        {" \t\r path \r\t ", 0, "path"},
        {" \t a b \t\r", 0, "a b"},
        {"\n x \n", 0, "\n x \n"},
        {"   ", 0, ""},
        {"", 0, ""},
        {"  x  ", 1, "x  "},
        {"  x  ", 2, "  x"},
        {"  x  ", 3, "x  "},
        {"x", 0, "x"},
    };
    for (const auto& c : cases) {
        std::string s = c.text;
        switch (c.form) {
        case 0:
            StringUtil::trim(s);
            break;
        case 1:
            StringUtil::trim(s, false);
            break;
        case 2:
            StringUtil::trim(s, false, true);
            break;
        default:
            StringUtil::trim(s, true, false);
            break;
        }
        EXPECT_EQ(s, c.result) << "'" << c.text << "' form " << c.form;
    }
}

TEST(StringUtilTest, ReplaceAllTable)
{
    const struct {
        std::string text, what, with, result;
    } cases[] = {
        {"a/b/c", "/", "\\", "a\\b\\c"}, {"aaa", "a", "aa", "aaaaaa"}, {"aaaa", "aa", "b", "bb"},
        {"abc", "x", "y", "abc"},        {"abc", "", "y", "abc"},      {"", "a", "b", ""},
        {"abcabc", "abc", "", ""},
    };
    for (const auto& c : cases) {
        std::string s = c.text;
        StringUtil::replaceAll(s, c.what, c.with);
        EXPECT_EQ(s, c.result) << "'" << c.text << "' '" << c.what << "'";
    }
}

TEST(StringUtilTest, CaseHexAndAffixes)
{
    std::string s = "ABC def \xC3\x89";
    StringUtil::toLowerCase(s);
    EXPECT_EQ(s, "abc def \xC3\x89");
    StringUtil::toUpperCase(s);
    EXPECT_EQ(s, "ABC DEF \xC3\x89");

    EXPECT_EQ(StringUtil::toHex(std::string("\x00\x0f\xab\xff", 4)), "000fabff");
    EXPECT_EQ(StringUtil::toHex(""), "");

    EXPECT_TRUE(StringUtil::startsWith("TrueValue", "true"));
    EXPECT_FALSE(StringUtil::startsWith("TrueValue", "true", false));
    EXPECT_FALSE(StringUtil::startsWith("tr", "true"));
    EXPECT_FALSE(StringUtil::startsWith("x", ""));
    EXPECT_TRUE(StringUtil::endsWith("file.BBM", ".bbm"));
    EXPECT_FALSE(StringUtil::endsWith("file.BBM", ".bbm", false));
    EXPECT_TRUE(StringUtil::BLANK.empty());
}
