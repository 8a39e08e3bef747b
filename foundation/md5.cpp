#include "foundation/md5.h"
#include "platform/invariant.h"

#include <openssl/evp.h>

#include <new>

namespace {

const EVP_MD* md5_algorithm()
{
    static const EVP_MD* md = EVP_md5();
    return md;
}

}   // namespace

void MD5Digest(const void* data, size_t length, unsigned char out[16])
{
    static const unsigned char kEmpty = 0;
    if (data == nullptr) {
        VR_INVARIANT(length == 0);
        data = &kEmpty;
        length = 0;
    }
    unsigned int out_len = 0;
    // The one-shot call cannot fail for MD5 short of memory exhaustion.
    if (EVP_Digest(data, length, out, &out_len, md5_algorithm(), nullptr) != 1)
        throw std::bad_alloc();
    VR_INVARIANT(out_len == kMd5DigestSize);
}

struct Md5Context::Impl {
    EVP_MD_CTX* ctx = nullptr;
};

Md5Context::Md5Context() : impl_(new Impl)
{
    impl_->ctx = EVP_MD_CTX_new();
    if (impl_->ctx == nullptr) {
        delete impl_;
        throw std::bad_alloc();
    }
    reset();
}

Md5Context::~Md5Context()
{
    EVP_MD_CTX_free(impl_->ctx);
    delete impl_;
}

void Md5Context::update(const void* data, size_t length)
{
    if (length == 0)
        return;
    EVP_DigestUpdate(impl_->ctx, data, length);
}

void Md5Context::final(unsigned char out[16])
{
    unsigned int out_len = 0;
    EVP_DigestFinal_ex(impl_->ctx, out, &out_len);
    VR_INVARIANT(out_len == kMd5DigestSize);
    reset();
}

void Md5Context::reset()
{
    if (EVP_DigestInit_ex(impl_->ctx, md5_algorithm(), nullptr) != 1)
        throw std::bad_alloc();
}

std::string md5_to_hex(const unsigned char digest[16], bool upper_case)
{
    const char* digits = upper_case ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex(kMd5DigestSize * 2, '0');
    for (size_t i = 0; i < kMd5DigestSize; ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0x0f];
    }
    return hex;
}

std::string md5_hex(const void* data, size_t length, bool upper_case)
{
    unsigned char digest[kMd5DigestSize];
    MD5Digest(data, length, digest);
    return md5_to_hex(digest, upper_case);
}

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}   // namespace

bool md5_from_hex(const std::string& hex, unsigned char out[16])
{
    if (hex.size() != kMd5DigestSize * 2)
        return false;
    unsigned char tmp[kMd5DigestSize];
    for (size_t i = 0; i < kMd5DigestSize; ++i) {
        const int hi = hex_value(hex[2 * i]);
        const int lo = hex_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        tmp[i] = static_cast<unsigned char>((hi << 4) | lo);
    }
    for (size_t i = 0; i < kMd5DigestSize; ++i)
        out[i] = tmp[i];
    return true;
}
