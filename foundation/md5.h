#pragma once
// MD5 digests (RFC 1321): every downloaded piece and every seed document is
// checked with them, so the one-shot form goes straight to libcrypto.

#include <cstddef>
#include <cstdint>
#include <string>

// Length of an MD5 digest in bytes.
constexpr size_t kMd5DigestSize = 16;

// Writes the MD5 digest of `length` bytes at `data` into `out`.
// A zero length is allowed (data may then be null).
void MD5Digest(const void* data, size_t length, unsigned char out[16]);

// Incremental MD5: update() any number of times, then final().
// After final() the context starts over as if freshly made.
class Md5Context {
public:
    Md5Context();
    ~Md5Context();
    Md5Context(const Md5Context&) = delete;
    Md5Context& operator=(const Md5Context&) = delete;

    // Adds `length` bytes to the digest.
    void update(const void* data, size_t length);
    // Writes the digest of everything added since the last reset.
    void final(unsigned char out[16]);
    // Forgets everything added so far.
    void reset();

private:
    struct Impl;
    Impl* impl_;
};

// The digest as 32 hexadecimal digits, lower case ("%02x") or upper case ("%02X").
std::string md5_to_hex(const unsigned char digest[16], bool upper_case = false);

// MD5 of a buffer as 32 hexadecimal digits.
std::string md5_hex(const void* data, size_t length, bool upper_case = false);

// Reads 32 hexadecimal digits (either case) into a digest; false when the
// text is not exactly that.
bool md5_from_hex(const std::string& hex, unsigned char out[16]);
