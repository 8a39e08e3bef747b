// Text helpers that work in place on std::string.
#pragma once

#include <string>
#include <vector>

namespace fagex {

using StringVector = std::vector<std::string>;

class StringUtil {
public:
    // The shared empty text.
    static const std::string BLANK;

    // Removes " \t\r" from the left end always and from the right end when
    // trimRight is set.
    static void trim(std::string& str, bool trimRight = true);
    // Removes " \t\r" from the ends that are asked for.
    static void trim(std::string& str, bool left, bool right);

    // Cuts the text at every character of delims, dropping empty pieces. With
    // maxSplits > 0 at most that many cuts are made and the last piece is the
    // rest of the text from its first non-delimiter character.
    static StringVector split(const std::string& str, const std::string& delims = "\t\n ", unsigned int maxSplits = 0);

    // Two lower-case hexadecimal digits per byte ("%02x").
    static std::string toHex(const std::string& bytes);
    // ASCII case change in place (bytes above 127 are left alone).
    static void toLowerCase(std::string& str);
    static void toUpperCase(std::string& str);
    // Replaces every occurrence of what (non-overlapping, left to right) in
    // place; an empty what changes nothing.
    static void replaceAll(std::string& str, const std::string& what, const std::string& with);

    // Prefix / suffix tests; with lowerCase both sides are compared lower-cased.
    static bool startsWith(const std::string& str, const std::string& pattern, bool lowerCase = true);
    static bool endsWith(const std::string& str, const std::string& pattern, bool lowerCase = true);
};

}   // namespace fagex
