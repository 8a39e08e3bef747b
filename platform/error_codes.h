// The Win32 / Winsock error numbers the code compares, and the mapping from
// errno to them. The numbers are kept because they reach logs and peers'
// log records and because every handler compares against them.
#pragma once

#include <cstdint>

namespace platform {

namespace err {
constexpr std::uint32_t success = 0;
constexpr std::uint32_t file_not_found = 2;
constexpr std::uint32_t access_denied = 5;
constexpr std::uint32_t invalid_handle = 6;
constexpr std::uint32_t not_enough_memory = 8;
constexpr std::uint32_t handle_eof = 38;        // the peer closed the stream
constexpr std::uint32_t netname_deleted = 64;   // reported as 995 by the I/O layer
constexpr std::uint32_t invalid_parameter = 87;
constexpr std::uint32_t disk_full = 112;
constexpr std::uint32_t already_exists = 183;
constexpr std::uint32_t wait_timeout = 258;
constexpr std::uint32_t operation_aborted = 995;   // cancelled or closed
constexpr std::uint32_t io_pending = 997;
constexpr std::uint32_t wsa_interrupted = 10004;
constexpr std::uint32_t wsa_bad_file = 10009;
constexpr std::uint32_t wsa_access = 10013;
constexpr std::uint32_t wsa_fault = 10014;
constexpr std::uint32_t wsa_invalid = 10022;
constexpr std::uint32_t wsa_too_many_files = 10024;
constexpr std::uint32_t would_block = 10035;   // WSAEWOULDBLOCK
constexpr std::uint32_t in_progress = 10036;
constexpr std::uint32_t already = 10037;
constexpr std::uint32_t not_socket = 10038;
constexpr std::uint32_t msg_size = 10040;
constexpr std::uint32_t address_in_use = 10048;
constexpr std::uint32_t address_not_available = 10049;
constexpr std::uint32_t network_down = 10050;
constexpr std::uint32_t network_unreachable = 10051;
constexpr std::uint32_t connection_aborted = 10053;
constexpr std::uint32_t connection_reset = 10054;
constexpr std::uint32_t no_buffers = 10055;
constexpr std::uint32_t is_connected = 10056;
constexpr std::uint32_t not_connected = 10057;
constexpr std::uint32_t shutdown = 10058;
constexpr std::uint32_t timed_out = 10060;
constexpr std::uint32_t connection_refused = 10061;
constexpr std::uint32_t host_unreachable = 10065;
constexpr std::uint32_t host_not_found = 11001;
}   // namespace err

// Maps an errno value to the Win32/Winsock number the code compares; an
// errno without a counterpart maps to 10000 + errno so it stays visible.
std::uint32_t error_from_errno(int e);

// error_from_errno(errno) of the calling thread.
std::uint32_t last_error();

}   // namespace platform
