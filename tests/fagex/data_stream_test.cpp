#include "fagex/fagexDataStream.h"

#include <gtest/gtest.h>

#include "temp_folder.h"

using fagex::MemoryDataStream;

TEST(DataStreamTest, GetLineTable)
{
    MemoryDataStream s("  a  \r\nb\n\nlast", "mem");
    EXPECT_EQ(s.getName(), "mem");
    EXPECT_EQ(s.getLine(), "a");
    EXPECT_EQ(s.getLine(), "b");
    EXPECT_EQ(s.getLine(), "");
    EXPECT_FALSE(s.eof());
    EXPECT_EQ(s.getLine(), "last");
    EXPECT_TRUE(s.eof());
    EXPECT_EQ(s.getLine(), "");

    MemoryDataStream raw(" x \r\n");
    EXPECT_EQ(raw.getLine(false), " x ");
}

TEST(DataStreamTest, LongLinesAreCutAtTheLimit)
{
    MemoryDataStream s(std::string(100, 'x') + "\nnext\n");
    EXPECT_EQ(s.getLine(true, 10), std::string(10, 'x'));
    EXPECT_EQ(s.getLine(true, 10), "next");
}

TEST(DataStreamTest, ReadsBlocksFromMemoryAndFiles)
{
    MemoryDataStream s("abcdef");
    char buf[4];
    EXPECT_EQ(s.read(buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(s.getAsString(), "ef");
    EXPECT_EQ(s.read(buf, 4), 0u);

    fagex_test::TempFolder dir;
    fagex_test::writeFile(dir.file("f"), std::string("a\0b\nc", 5));
    fagex::FileDataStream f(std::fopen(dir.file("f").c_str(), "rb"), "f");
    EXPECT_EQ(f.getLine(), std::string("a\0b", 3));
    EXPECT_EQ(f.getAsString(), "c");
    EXPECT_TRUE(f.eof());
    EXPECT_FALSE(f.failed());
    f.close();
    EXPECT_EQ(f.read(buf, 1), 0u);
}
