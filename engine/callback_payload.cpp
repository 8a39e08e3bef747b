#include "engine/callback_payload.h"

#include <limits>

#include "engine/p2sp_engine.h"

namespace {

// Reads a block front to back; every read fails once the block is spent.
class PayloadReader {
public:
    PayloadReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_left(size) {}

    bool U64(std::uint64_t& v) { return Get(v, 8); }
    bool U32(std::uint32_t& v)
    {
        std::uint64_t wide = 0;
        if (!Get(wide, 4))
            return false;
        v = static_cast<std::uint32_t>(wide);
        return true;
    }
    bool F32(float& v)
    {
        std::uint32_t bits = 0;
        if (!U32(bits))
            return false;
        std::memcpy(&v, &bits, sizeof(v));
        return true;
    }
    bool Text(std::string& text)
    {
        const auto* start = reinterpret_cast<const char*>(m_data);
        const std::size_t length = strnlen(start, m_left);
        if (length == m_left)
            return false;
        text.assign(start, length);
        Skip(length + 1);
        return true;
    }

private:
    bool Get(std::uint64_t& v, std::size_t width)
    {
        if (m_left < width)
            return false;
        v = 0;
        for (std::size_t i = width; i-- > 0;)
            v = (v << 8) | m_data[i];
        Skip(width);
        return true;
    }
    void Skip(std::size_t n)
    {
        m_data += n;
        m_left -= n;
    }

    const std::uint8_t* m_data;
    std::size_t m_left;
};

bool IsValueCode(std::uint32_t code)
{
    return code == CBE_RIS_CONNECT_START || code == CBE_RIS_CONNECT_RESULT || code == CBE_ENGINE_INIT_RESULT;
}

}   // namespace

bool DecodeCallbackPayload(std::uint32_t code, const std::uint8_t* data, std::size_t size, CallbackEvent& event)
{
    event = CallbackEvent();
    event.code = code;
    if (IsValueCode(code) || code > CBE_GLOBAL_SPEED || code == 6)
        return true;
    if (data == nullptr)
        return false;
    PayloadReader in(data, size);
    std::uint32_t number = 0;
    switch (code) {
    case CBE_DOWNLOAD_PROGRESS:
        return in.U64(event.task_id) && in.U64(event.downloaded) && in.U64(event.total);
    case CBE_TASK_INFO:
        if (!(in.U64(event.task_id) && in.Text(event.text) && in.U32(number)))
            return false;
        event.value = static_cast<std::int32_t>(number);
        return true;
    case CBE_TASK_MESSAGE:
        if (!(in.U32(number) && in.Text(event.text)))
            return false;
        event.value = static_cast<std::int32_t>(number);
        return true;
    case CBE_TEXT_OUTPUT:
    case CBE_ERROR_OUTPUT:
        return in.Text(event.text);
    case CBE_TASK_SPEED:
        return in.U64(event.task_id) && in.F32(event.down_kbps) && in.F32(event.up_kbps);
    case CBE_TASK_SAVE_PATH:
        return in.U64(event.task_id) && in.Text(event.text) && in.Text(event.source_folder);
    case CBE_TASK_BBM_SAVE_FINISHED:
        return in.U64(event.task_id) && in.Text(event.text);
    case CBE_GLOBAL_SPEED:
        return in.F32(event.down_kbps) && in.F32(event.up_kbps);
    default:   // 5, 9, 11, 12, 13: the task id alone
        return in.U64(event.task_id);
    }
}

bool DecodeCallbackEvent(std::uint32_t code, std::uintptr_t data, CallbackEvent& event)
{
    if (IsValueCode(code)) {
        event = CallbackEvent();
        event.code = code;
        event.value = static_cast<std::int32_t>(data);
        return true;
    }
    // The engine's callback carries its payload's address in the integer argument.
    return DecodeCallbackPayload(code,
                                 reinterpret_cast<const std::uint8_t*>(data),   // NOLINT(performance-no-int-to-ptr)
                                 std::numeric_limits<std::size_t>::max(), event);
}
