// Posts a callable to an I/O service: it runs on the I/O thread, or is
// dropped unrun (and freed) when the service completes it as cancelled at
// its end, so it may refer to what the service's owner destroys after.
#pragma once

#include "net/io/io_error.h"
#include "net/io/io_service.h"

#include <functional>
#include <memory>
#include <utility>

// False (nothing runs) when the service refuses posts.
inline bool post_function(i_io_service& io, std::function<void()> fn)
{
    auto* work = new std::function<void()>(std::move(fn));
    const auto run = [](void* context, const i_error_code& error) {
        const std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(context));
        if (!error)
            (*owned)();
    };
    if (io.post(run, work) != 0) {
        delete work;
        return false;
    }
    return true;
}
