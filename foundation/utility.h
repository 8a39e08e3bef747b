// Small helpers the service layers share: folder creation, URL splitting
// and the blocking HTTP GET (defined in http_get.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CUtility {
public:
    // Creates a folder with every missing parent. Accepts '\\' or '/'
    // separators. 0 when it exists afterwards, -1 when it cannot be made.
    static int CreateDirectoryRecursive(const std::string& path);

    // Splits "http://host[:port]/path" into host, port (80 when none or not
    // a number in 1..65535) and path ("/" when none). Case is kept. False
    // when there is no host.
    static bool ParseUrl(const std::string& url, std::string& host, std::uint16_t& port, std::string& path);

    // Blocking HTTP/1.0 GET of `url` into `body` (see foundation/http_get.h
    // for the result codes): 0 on success.
    static int HttpGet(const std::string& url, std::vector<char>& body);
};
