// The error value and the handler shapes of the I/O layer.
//
// An error is a 32-bit Win32/Winsock number: 0 success, 995 cancelled or
// aborted, 38 the peer closed the stream (see platform/error_codes.h).
// A handler is a (function, context) pair; it only ever runs on the thread
// inside i_io_service::run, never from inside the call that started the
// operation.
#pragma once

#include <cstdint>

struct i_error_code {
    std::uint32_t value = 0;

    i_error_code() = default;
    i_error_code(std::uint32_t v) : value(v) {}   // NOLINT: numbers compare directly

    explicit operator bool() const { return value != 0; }
    bool operator==(std::uint32_t v) const { return value == v; }
    bool operator!=(std::uint32_t v) const { return value != v; }
    bool operator==(const i_error_code& o) const { return value == o.value; }
    bool operator!=(const i_error_code& o) const { return value != o.value; }
};

// Timer waits, connects, adopted sockets and posts: (context, error).
using i_handler = void (*)(void* context, const i_error_code& error);

// Sends and receives: (context, error, bytes transferred).
using i_transfer_handler = void (*)(void* context, const i_error_code& error, std::uint32_t bytes);
