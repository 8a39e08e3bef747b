// Trimming of folder texts as the engine receives them from the front end
// and from seeds.
#pragma once

#include <string>

// Leading " \t\r\n" and trailing " \t\r\n" and separators removed.
inline std::string TrimSaveFolder(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const std::size_t last = text.find_last_not_of(" \t\r\n\\/");
    if (last == std::string::npos || last < first)
        return std::string();
    return text.substr(first, last - first + 1);
}

// " \t\r\n" removed at both ends.
inline std::string TrimBlanks(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}
