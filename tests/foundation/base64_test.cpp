#include "foundation/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

TEST(Base64Test, Rfc4648Vectors)
{
    const struct {
        const char* plain;
        const char* encoded;
    } kVectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& v : kVectors) {
        EXPECT_EQ(base64_encode(v.plain), v.encoded);
        std::string out;
        EXPECT_TRUE(base64_decode(v.encoded, out)) << v.encoded;
        EXPECT_EQ(out, v.plain);
    }
}

TEST(Base64Test, EncodeUsesBothHighCharacters)
{
    EXPECT_EQ(base64_encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
    EXPECT_EQ(base64_decode("+/+/"), std::string("\xfb\xff\xbf", 3));
}

TEST(Base64Test, RoundTripsRandomBinary)
{
    std::mt19937 rng(42);
    for (size_t len = 0; len < 300; ++len) {
        std::string data(len, '\0');
        for (char& c : data)
            c = static_cast<char>(rng());
        const std::string enc = base64_encode(data);
        EXPECT_EQ(enc.size(), (len + 2) / 3 * 4);
        std::string dec;
        ASSERT_TRUE(base64_decode(enc, dec)) << len;
        EXPECT_EQ(dec, data) << len;
    }
}

TEST(Base64Test, DecodeSkipsWhiteSpaceAndAcceptsMissingPadding)
{
    const struct {
        const char* text;
        const char* plain;
    } kCases[] = {
        {"Zm9v\r\nYmFy\r\n", "foobar"},
        {" Z m 9 v\tYg = = ", "foob"},
        {"Zm9vYg", "foob"},
        {"Zm9vYmE", "fooba"},
        {"\n", ""},
    };
    for (const auto& c : kCases) {
        std::string out;
        EXPECT_TRUE(base64_decode(c.text, out)) << c.text;
        EXPECT_EQ(out, c.plain) << c.text;
    }
}

TEST(Base64Test, GarbageFailsAsAWhole)
{
    const char* kBad[] = {
        "Zm9v!",      // character outside the alphabet
        "Zm-v",       // URL-safe alphabet is not ours
        "Z",          // lone character
        "Zm9vY",      // lone character in the last group
        "=",          // padding with nothing before
        "Zg===",      // too much padding
        "Zm9=v",      // data after padding
        "Zg==Zg==",   // a second group after padding
        "Zm=",        // padding that does not complete the group
        "Zm9vYmFy\x80",
    };
    for (const char* text : kBad) {
        std::string out = "x";
        EXPECT_FALSE(base64_decode(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
        EXPECT_TRUE(base64_decode(std::string(text)).empty()) << text;
    }
    // An embedded NUL is garbage too, not the end of the text.
    EXPECT_TRUE(base64_decode(std::string("Zm9v\0Zm9v", 9)).empty());
}

// Every cut of a valid text decodes to the matching prefix of the bytes or
// is refused whole (a cut leaving one character of a group); nothing else.
TEST(Base64Test, EveryTruncationIsReadOrRefusedWhole)
{
    std::string data;
    for (int i = 0; i < 40; ++i)
        data += static_cast<char>(i * 37 + 5);
    const std::string enc = base64_encode(data);
    for (size_t cut = 0; cut <= enc.size(); ++cut) {
        const std::string text = enc.substr(0, cut);
        std::string out = "x";
        const size_t chars = cut - (cut > 0 && text.back() == '=' ? (text[cut - 2] == '=' ? 2 : 1) : 0);
        if (chars % 4 == 1 || (cut > 0 && text.back() == '=' && cut % 4 != 0)) {
            EXPECT_FALSE(base64_decode(text, out)) << cut;
            EXPECT_TRUE(out.empty()) << cut;
        } else {
            ASSERT_TRUE(base64_decode(text, out)) << cut;
            EXPECT_EQ(out, data.substr(0, chars * 3 / 4)) << cut;
        }
    }
}

TEST(Base64Test, OversizedInputsDecodeOrFailWithoutGrowingPastTheirSize)
{
    const std::string big(6u << 20, 'A');   // 6 MiB of zero bits
    std::string out;
    ASSERT_TRUE(base64_decode(big, out));
    EXPECT_EQ(out.size(), big.size() / 4 * 3);
    EXPECT_EQ(out.find_first_not_of('\0'), std::string::npos);

    std::string spaced(4u << 20, ' ');
    spaced += "Zm9v";
    EXPECT_EQ(base64_decode(spaced), "foo");

    std::string bad = big;
    bad[bad.size() - 2] = '*';   // one bad character near the end spoils all of it
    EXPECT_FALSE(base64_decode(bad, out));
    EXPECT_TRUE(out.empty());
}

}   // namespace
