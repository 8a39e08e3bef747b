#include "fagex/fagexStringConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

using fagex::StringConverter;

TEST(StringConverterTest, IsNumberTable)
{
    const struct {
        const char* text;
        bool number;
    } cases[] = {
        {"12", true},
        {" 12", true},
        {"12a", false},
        {"", false},
        {"-3", true},
        {"+5", true},
        {"007", true},
        {"12 ", false},
        {"-", false},
        {" ", false},
        {"1.5", false},
        {"abc", false},
        {"0x10", false},
        {"1 2", false},
        {"--1", false},
        {"12345678901234", true},
        {"9223372036854775807", true},
        {"9223372036854775808", false},
        {"99999999999999999999", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StringConverter::isNumber(c.text), c.number) << "'" << c.text << "'";
    EXPECT_FALSE(StringConverter::isNumber(std::string("12\0", 3)));
}

TEST(StringConverterTest, ParseBoolTable)
{
    const struct {
        const char* text;
        bool value;
    } cases[] = {
        {"true", true},    {"TRUE", true},      {"True", true}, {"yes", true},    {"YES", true},
        {"trueish", true}, {"yesterday", true}, {"1", false},   {"false", false}, {"no", false},
        {"", false},       {" true", false},    {"tru", false}, {"y", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StringConverter::parseBool(c.text), c.value) << "'" << c.text << "'";
}

TEST(StringConverterTest, ParseIntTable)
{
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"12", 12},
        {" 12", 12},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"-3", -3},
        {"+7", 7},
        {"0", 0},
        {"3.9", 3},
        {"2147483647", 2147483647},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StringConverter::parseInt(c.text), c.value) << "'" << c.text << "'";
}

TEST(StringConverterTest, ParseRealAndUnsignedTables)
{
    const struct {
        const char* text;
        float value;
    } reals[] = {
        {"5000.0", 5000.0f}, {"10.5", 10.5f}, {"  1.25x", 1.25f}, {"", 0.0f},
        {"abc", 0.0f},       {"-2", -2.0f},   {"nan", 0.0f},      {"0.1", 0.1f},
    };
    for (const auto& c : reals)
        EXPECT_EQ(StringConverter::parseReal(c.text), c.value) << "'" << c.text << "'";
    EXPECT_TRUE(std::isinf(StringConverter::parseReal("1e300")));
    EXPECT_GT(StringConverter::parseReal("1e300"), 0.0f);

    const struct {
        const char* text;
        uint64_t value;
    } unsigneds[] = {
        {"0", 0},
        {"12345678901234567890", 12345678901234567890ull},
        {"18446744073709551615", 18446744073709551615ull},
        {"99999999999999999999", 18446744073709551615ull},
        {"42abc", 42},
        {"", 0},
        {"x1", 0},
    };
    for (const auto& c : unsigneds)
        EXPECT_EQ(StringConverter::parseUnsignedInt(c.text), c.value) << "'" << c.text << "'";
}

TEST(StringConverterTest, ToStringTable)
{
    EXPECT_EQ(StringConverter::toString(5000.0f, 3, 0, ' ', std::ios::fixed), "5000.000");
    EXPECT_EQ(StringConverter::toString(12.5f, 3, 0, ' ', std::ios::fixed), "12.500");
    EXPECT_EQ(StringConverter::toString(0.0f, 3, 0, ' ', std::ios::fixed), "0.000");
    EXPECT_EQ(StringConverter::toString(5000.0f, 6), "5000");
    EXPECT_EQ(StringConverter::toString(100.0f, 6), "100");
    EXPECT_EQ(StringConverter::toString(10.5f, 6), "10.5");
    EXPECT_EQ(StringConverter::toString(5000.0f), "5000");
    EXPECT_EQ(StringConverter::toString(33.3333f), "33.3333");
    EXPECT_EQ(StringConverter::toString(1.5f, 6, 6, '0'), "0001.5");
    EXPECT_EQ(StringConverter::toString(2.5, 6), "2.5");

    EXPECT_EQ(StringConverter::toString(7), "7");
    EXPECT_EQ(StringConverter::toString(-12), "-12");
    EXPECT_EQ(StringConverter::toString(7, 3, '0'), "007");
    EXPECT_EQ(StringConverter::toString(4000000000u), "4000000000");
    EXPECT_EQ(StringConverter::toString(static_cast<unsigned long>(123)), "123");
    EXPECT_EQ(StringConverter::toString(static_cast<uint64_t>(18446744073709551615ull)), "18446744073709551615");
    EXPECT_EQ(StringConverter::toString(18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(StringConverter::toString(-5ll), "-5");
    EXPECT_EQ(StringConverter::toString(true), "true");
    EXPECT_EQ(StringConverter::toString(false), "false");
    EXPECT_EQ(StringConverter::toString(true, true), "yes");
}
