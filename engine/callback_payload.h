// Builds the little-endian data block of one launcher callback.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

class CallbackPayload {
public:
    CallbackPayload& U64(std::uint64_t v) { return Put(v, 8); }
    CallbackPayload& U32(std::uint32_t v) { return Put(v, 4); }
    CallbackPayload& F32(float v)
    {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &v, sizeof(bits));
        return U32(bits);
    }
    // The text and its NUL (a null text counts as empty).
    CallbackPayload& Text(const char* text)
    {
        if (text)
            m_bytes.insert(m_bytes.end(), text, text + std::strlen(text));
        m_bytes.push_back(0);
        return *this;
    }
    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

private:
    CallbackPayload& Put(std::uint64_t v, int width)
    {
        for (int i = 0; i < width; ++i)
            m_bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }

    std::vector<std::uint8_t> m_bytes;
};
