// Engine callback blocks: the first byte picks the code, the rest is the
// block. A block that decodes is built again from the decoded event with
// the engine's encoder, and that must be the block's beginning.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/callback_payload.h"
#include "engine/p2sp_engine.h"
#include "fuzz_check.h"

namespace {

// The block the engine raises for the event.
std::vector<std::uint8_t> encode(const CallbackEvent& e)
{
    CallbackPayload p;
    switch (e.code) {
    case CBE_DOWNLOAD_PROGRESS:
        p.U64(e.task_id).U64(e.downloaded).U64(e.total);
        break;
    case CBE_TASK_INFO:
        p.U64(e.task_id).Text(e.text.c_str()).U32(static_cast<std::uint32_t>(e.value));
        break;
    case CBE_TASK_MESSAGE:
        p.U32(static_cast<std::uint32_t>(e.value)).Text(e.text.c_str());
        break;
    case CBE_TEXT_OUTPUT:
    case CBE_ERROR_OUTPUT:
        p.Text(e.text.c_str());
        break;
    case CBE_TASK_SPEED:
        p.U64(e.task_id).F32(e.down_kbps).F32(e.up_kbps);
        break;
    case CBE_TASK_SAVE_PATH:
        p.U64(e.task_id).Text(e.text.c_str()).Text(e.source_folder.c_str());
        break;
    case CBE_TASK_BBM_SAVE_FINISHED:
        p.U64(e.task_id).Text(e.text.c_str());
        break;
    case CBE_GLOBAL_SPEED:
        p.F32(e.down_kbps).F32(e.up_kbps);
        break;
    case CBE_TASK_ADDED:
    case CBE_TASK_COMPLETED:
    case CBE_TASK_STOP:
    case CBE_TASK_STOP_FAILED:
    case CBE_TASK_RUN:
        p.U64(e.task_id);
        break;
    default:
        break;   // no block
    }
    return p.Bytes();
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::uint32_t code = data[0] % 20;
    // An exact copy, so reading past the block is caught.
    const std::vector<std::uint8_t> block(data + 1, data + size);
    CallbackEvent e;
    if (!DecodeCallbackPayload(code, block.data(), block.size(), e))
        return 0;
    FUZZ_CHECK(e.code == code);
    const std::vector<std::uint8_t> again = encode(e);
    FUZZ_CHECK(again.size() <= block.size());
    FUZZ_CHECK(std::equal(again.begin(), again.end(), block.begin()));
    return 0;
}
