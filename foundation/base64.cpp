#include "foundation/base64.h"

#include <cstdint>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Sextet value of an alphabet character, -1 otherwise.
int sextet(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}   // namespace

std::string base64_encode(const std::string& data)
{
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{p[i]} << 16;
        if (rest == 2)
            v |= uint32_t{p[i + 1]} << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64_decode(const std::string& text, std::string& out)
{
    out.clear();
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t acc = 0;   // sextets of the group so far
    int have = 0;       // sextets in the group
    int padding = 0;    // '=' seen; only white space and '=' may follow
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_space(c))
            continue;
        if (c == '=') {
            // Padding completes a group of 2 or 3 sextets, at most 2 of it.
            if (have + padding < 2 || have + padding >= 4) {
                out.clear();
                return false;
            }
            ++padding;
            continue;
        }
        const int v = sextet(c);
        if (v < 0 || padding > 0) {
            out.clear();
            return false;
        }
        acc = (acc << 6) | static_cast<uint32_t>(v);
        if (++have == 4) {
            out += static_cast<char>((acc >> 16) & 0xff);
            out += static_cast<char>((acc >> 8) & 0xff);
            out += static_cast<char>(acc & 0xff);
            acc = 0;
            have = 0;
        }
    }
    if (have == 1) {   // a lone sextet holds no whole byte
        out.clear();
        return false;
    }
    if (padding > 0 && have + padding != 4) {   // "xx=" : padding must fill the group
        out.clear();
        return false;
    }
    if (have == 2) {
        out += static_cast<char>((acc >> 4) & 0xff);
    } else if (have == 3) {
        out += static_cast<char>((acc >> 10) & 0xff);
        out += static_cast<char>((acc >> 2) & 0xff);
    }
    return true;
}

std::string base64_decode(const std::string& text)
{
    std::string out;
    base64_decode(text, out);
    return out;
}
