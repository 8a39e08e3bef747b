// The data of one launcher callback: CallbackPayload builds the
// little-endian block the engine passes, DecodeCallbackEvent reads it back
// into a CallbackEvent, so the layout of every code lives in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
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

// One callback decoded; only the members its code carries are set.
struct CallbackEvent {
    std::uint32_t code = 0;
    std::uint64_t task_id = 0;      // codes 0, 1, 5, 9 to 15
    std::uint64_t downloaded = 0;   // code 0
    std::uint64_t total = 0;        // code 0
    float down_kbps = 0;            // codes 10, 17
    float up_kbps = 0;              // codes 10, 17
    std::int32_t value = 0;         // the value of codes 2, 3, 4; the number of codes 1 and 7
    std::string text;               // codes 1, 7, 8, 16; the save folder of 14; the path of 15
    std::string source_folder;      // code 14
};

// Reads the `size` bytes at `data` as the block of `code`. False when the
// block is null or too short for its code, or a text lacks its NUL. Codes
// without a block (2, 3, 4) and unknown codes read nothing.
bool DecodeCallbackPayload(std::uint32_t code, const std::uint8_t* data, std::size_t size, CallbackEvent& event);

// Decodes the `data` of a callback as the engine raises it: the value
// itself for codes 2, 3 and 4, else a pointer to the block, whose size the
// callback does not carry (its texts end at their NUL).
bool DecodeCallbackEvent(std::uint32_t code, std::uintptr_t data, CallbackEvent& event);
