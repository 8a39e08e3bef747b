#include "fagex/fagexStringConverter.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "fagex/fagexStringUtil.h"

namespace fagex {

namespace {

template <class T>
std::string formatReal(T val, unsigned short precision, unsigned short width, char fill, std::ios::fmtflags flags)
{
    std::ostringstream stream;
    stream.precision(precision);
    stream.width(width);
    stream.fill(fill);
    if (flags)
        stream.setf(flags);
    stream << val;
    return stream.str();
}

template <class T>
std::string formatInteger(T val, unsigned short width, char fill, std::ios::fmtflags flags)
{
    std::ostringstream stream;
    stream.width(width);
    stream.fill(fill);
    if (flags)
        stream.setf(flags);
    stream << val;
    return stream.str();
}

}   // namespace

std::string StringConverter::toString(float val, unsigned short precision, unsigned short width, char fill,
                                      std::ios::fmtflags flags)
{
    return formatReal(val, precision, width, fill, flags);
}
std::string StringConverter::toString(double val, unsigned short precision, unsigned short width, char fill,
                                      std::ios::fmtflags flags)
{
    return formatReal(val, precision, width, fill, flags);
}
std::string StringConverter::toString(int val, unsigned short width, char fill, std::ios::fmtflags flags)
{
    return formatInteger(val, width, fill, flags);
}
std::string StringConverter::toString(unsigned int val, unsigned short width, char fill, std::ios::fmtflags flags)
{
    return formatInteger(val, width, fill, flags);
}
std::string StringConverter::toString(long val, unsigned short width, char fill, std::ios::fmtflags flags)
{
    return formatInteger(val, width, fill, flags);
}
std::string StringConverter::toString(unsigned long val, unsigned short width, char fill, std::ios::fmtflags flags)
{
    return formatInteger(val, width, fill, flags);
}
std::string StringConverter::toString(long long val, unsigned short width, char fill, std::ios::fmtflags flags)
{
    return formatInteger(val, width, fill, flags);
}
std::string StringConverter::toString(unsigned long long val, unsigned short width, char fill, std::ios::fmtflags flags)
{
    return formatInteger(val, width, fill, flags);
}
std::string StringConverter::toString(bool val, bool yesNo)
{
    if (yesNo)
        return val ? "yes" : "no";
    return val ? "true" : "false";
}

int StringConverter::parseInt(const std::string& val)
{
    // strtol instead of atoi: atoi's behaviour on overflow is undefined.
    errno = 0;
    const long long v = std::strtoll(val.c_str(), nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

float StringConverter::parseReal(const std::string& val)
{
    const double d = std::strtod(val.c_str(), nullptr);
    // A NaN would slip through every range clamp of the callers.
    if (std::isnan(d))
        return 0.0f;
    if (d > FLT_MAX)
        return HUGE_VALF;
    if (d < -FLT_MAX)
        return -HUGE_VALF;
    return static_cast<float>(d);
}

uint64_t StringConverter::parseUnsignedInt(const std::string& val)
{
    return static_cast<uint64_t>(std::strtoull(val.c_str(), nullptr, 10));
}

bool StringConverter::parseBool(const std::string& val)
{
    return StringUtil::startsWith(val, "true") || StringUtil::startsWith(val, "yes");
}

bool StringConverter::isNumber(const std::string& val)
{
    size_t i = 0;
    const size_t n = val.size();
    while (i < n &&
           (val[i] == ' ' || val[i] == '\t' || val[i] == '\n' || val[i] == '\r' || val[i] == '\v' || val[i] == '\f'))
        ++i;
    if (i < n && (val[i] == '+' || val[i] == '-'))
        ++i;
    const size_t digits = i;
    while (i < n && val[i] >= '0' && val[i] <= '9')
        ++i;
    if (i == digits || i != n)
        return false;
    errno = 0;
    std::strtoll(val.c_str(), nullptr, 10);
    return errno != ERANGE;
}

}   // namespace fagex
