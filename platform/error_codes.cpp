#include "platform/error_codes.h"

#include <cerrno>

namespace platform {

std::uint32_t error_from_errno(int e)
{
    switch (e) {
    case 0:
        return err::success;
    case ENOENT:
        return err::file_not_found;
    case EACCES:
    case EPERM:
        return err::access_denied;
    case ENOMEM:
        return err::not_enough_memory;
    case ENOSPC:
        return err::disk_full;
    case EEXIST:
        return err::already_exists;
    case ECANCELED:
        return err::operation_aborted;
    case EINTR:
        return err::wsa_interrupted;
    case EBADF:
        return err::wsa_bad_file;
    case EFAULT:
        return err::wsa_fault;
    case EINVAL:
        return err::wsa_invalid;
    case EMFILE:
    case ENFILE:
        return err::wsa_too_many_files;
    case EAGAIN:
        return err::would_block;
    case EINPROGRESS:
        return err::in_progress;
    case EALREADY:
        return err::already;
    case ENOTSOCK:
        return err::not_socket;
    case EMSGSIZE:
        return err::msg_size;
    case EADDRINUSE:
        return err::address_in_use;
    case EADDRNOTAVAIL:
        return err::address_not_available;
    case ENETDOWN:
        return err::network_down;
    case ENETUNREACH:
        return err::network_unreachable;
    case ECONNABORTED:
        return err::connection_aborted;
    case ECONNRESET:
    case EPIPE:
        return err::connection_reset;
    case ENOBUFS:
        return err::no_buffers;
    case EISCONN:
        return err::is_connected;
    case ENOTCONN:
        return err::not_connected;
    case ESHUTDOWN:
        return err::shutdown;
    case ETIMEDOUT:
        return err::timed_out;
    case ECONNREFUSED:
        return err::connection_refused;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return err::host_unreachable;
    default:
        return 10000u + static_cast<std::uint32_t>(e);
    }
}

std::uint32_t last_error()
{
    return error_from_errno(errno);
}

}   // namespace platform
