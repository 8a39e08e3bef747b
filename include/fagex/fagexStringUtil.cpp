#include "fagex/fagexStringUtil.h"

#include <cstdio>

namespace fagex {

namespace {
const char kTrimChars[] = " \t\r";

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char upperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameText(const char* a, const char* b, size_t n, bool lowerCase)
{
    for (size_t i = 0; i < n; ++i) {
        if (lowerCase ? lowerAscii(a[i]) != lowerAscii(b[i]) : a[i] != b[i])
            return false;
    }
    return true;
}
}   // namespace

const std::string StringUtil::BLANK;

void StringUtil::trim(std::string& str, bool trimRight)
{
    trim(str, true, trimRight);
}

void StringUtil::trim(std::string& str, bool left, bool right)
{
    if (right) {
        const size_t last = str.find_last_not_of(kTrimChars);
        str.erase(last == std::string::npos ? 0 : last + 1);
    }
    if (left) {
        const size_t first = str.find_first_not_of(kTrimChars);
        str.erase(0, first == std::string::npos ? str.size() : first);
    }
}

StringVector StringUtil::split(const std::string& str, const std::string& delims, unsigned int maxSplits)
{
    StringVector ret;
    size_t start = str.find_first_not_of(delims);
    unsigned int splits = 0;
    while (start != std::string::npos) {
        const size_t pos = str.find_first_of(delims, start);
        if (pos == std::string::npos || (maxSplits != 0 && splits == maxSplits)) {
            ret.push_back(str.substr(start));
            break;
        }
        ret.push_back(str.substr(start, pos - start));
        ++splits;
        start = str.find_first_not_of(delims, pos);
    }
    return ret;
}

std::string StringUtil::toHex(const std::string& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 0x0f]);
    }
    return out;
}

void StringUtil::toLowerCase(std::string& str)
{
    for (char& c : str)
        c = lowerAscii(c);
}

void StringUtil::toUpperCase(std::string& str)
{
    for (char& c : str)
        c = upperAscii(c);
}

void StringUtil::replaceAll(std::string& str, const std::string& what, const std::string& with)
{
    if (what.empty())
        return;
    std::string out;
    size_t from = 0;
    size_t pos;
    while ((pos = str.find(what, from)) != std::string::npos) {
        out.append(str, from, pos - from);
        out += with;
        from = pos + what.size();
    }
    if (from == 0)
        return;   // nothing found
    out.append(str, from, std::string::npos);
    str.swap(out);
}

bool StringUtil::startsWith(const std::string& str, const std::string& pattern, bool lowerCase)
{
    if (pattern.empty() || str.size() < pattern.size())
        return false;
    return sameText(str.data(), pattern.data(), pattern.size(), lowerCase);
}

bool StringUtil::endsWith(const std::string& str, const std::string& pattern, bool lowerCase)
{
    if (pattern.empty() || str.size() < pattern.size())
        return false;
    return sameText(str.data() + (str.size() - pattern.size()), pattern.data(), pattern.size(), lowerCase);
}

}   // namespace fagex
