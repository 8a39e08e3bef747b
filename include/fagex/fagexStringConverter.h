// Conversions between numbers and text.
#pragma once

#include <cstdint>
#include <ios>
#include <string>

namespace fagex {

class StringConverter {
public:
    // Through a string stream: precision in significant digits (decimals with
    // std::ios::fixed), then width, fill and flags. precision 3 + fixed writes
    // 5000 as "5000.000"; precision 6 without flags writes "5000" and "10.5".
    static std::string toString(float val, unsigned short precision = 6, unsigned short width = 0, char fill = ' ',
                                std::ios::fmtflags flags = std::ios::fmtflags(0));
    static std::string toString(double val, unsigned short precision = 6, unsigned short width = 0, char fill = ' ',
                                std::ios::fmtflags flags = std::ios::fmtflags(0));
    // Decimal text; width and fill pad it when asked (no padding by default).
    static std::string toString(int val, unsigned short width = 0, char fill = ' ',
                                std::ios::fmtflags flags = std::ios::fmtflags(0));
    static std::string toString(unsigned int val, unsigned short width = 0, char fill = ' ',
                                std::ios::fmtflags flags = std::ios::fmtflags(0));
    static std::string toString(long val, unsigned short width = 0, char fill = ' ',
                                std::ios::fmtflags flags = std::ios::fmtflags(0));
    static std::string toString(unsigned long val, unsigned short width = 0, char fill = ' ',
                                std::ios::fmtflags flags = std::ios::fmtflags(0));
    static std::string toString(long long val, unsigned short width = 0, char fill = ' ',
                                std::ios::fmtflags flags = std::ios::fmtflags(0));
    static std::string toString(unsigned long long val, unsigned short width = 0, char fill = ' ',
                                std::ios::fmtflags flags = std::ios::fmtflags(0));
    // "true"/"false", or "yes"/"no" when yesNo is set.
    static std::string toString(bool val, bool yesNo = false);

    // The value of the leading decimal number as atoi reads it (leading blanks
    // and a sign allowed; 0 when there is none); out-of-range values are
    // clamped to the int range instead of being undefined.
    static int parseInt(const std::string& val);
    // The leading real number (atof rules) rounded to single precision; 0 when
    // there is none or it is not a number (NaN); out of float range gives +-inf.
    static float parseReal(const std::string& val);
    // The leading unsigned decimal number (strtoull base 10 rules: a leading
    // "-" negates modulo 2^64, overflow gives the largest value); 0 when none.
    static uint64_t parseUnsignedInt(const std::string& val);
    // True when the text starts with "true" or "yes", compared case-folded.
    static bool parseBool(const std::string& val);
    // True when a whole number (optional leading blanks and sign, decimal
    // digits, within the signed 64-bit range) can be read and nothing follows.
    static bool isNumber(const std::string& val);
};

}   // namespace fagex
