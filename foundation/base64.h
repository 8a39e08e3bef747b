#pragma once
// Base64 (RFC 4648 standard alphabet, "=" padding) for the launcher's
// command documents.

#include <string>

// Encodes any bytes; the output is padded with "=" to a multiple of 4.
std::string base64_encode(const std::string& data);

// Decodes Base64 text. White space (space, tab, CR, LF) anywhere is skipped
// and missing final padding is accepted. Any other character outside the
// alphabet, data after the padding, or a lone final character makes the
// whole input invalid: the result is then empty. Never reads past the input.
std::string base64_decode(const std::string& text);

// Same as above but tells a failure from an empty input: false on invalid
// text (out is then empty).
bool base64_decode(const std::string& text, std::string& out);
