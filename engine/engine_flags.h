// Engine-wide flags and values shared by the facade, the client core, the
// session, the download manager and the tasks. Single values, atomic; the
// speed limits and their switch live in net/io/transfer_limits.h.
#pragma once

#include <cstdint>
#include <string>

namespace engine_flags {

// Set by Uninit before the client core stops: from then on progress,
// speed, text and error events are not delivered and the download
// manager's tick stops early. Cleared again by Init.
bool shutting_down();
void set_shutting_down(bool on);

// The index servers can be asked (set at start and by each Init). While
// clear every peer-list request goes to the CDN query. Reading it after a
// failed CIS reply's back-off has run out sets it again (logged).
bool index_servers_usable();
// Sets or clears it with no back-off running (a failed logon clears it
// until a later logon succeeds); setting it also forgets past failures.
void set_index_servers_usable(bool on);
// A failed CIS reply: clear for a back-off that doubles with each failure
// in a row, from kIndexServersFirstBackoffMs up to kIndexServersMaxBackoffMs.
void index_servers_failed();
// A CIS answered: the next failure's back-off starts from the first step.
void index_servers_answered();
constexpr std::uint32_t kIndexServersFirstBackoffMs = 10000;
constexpr std::uint32_t kIndexServersMaxBackoffMs = 320000;

// While set, every downloading task reports its progress once a second
// (set at start).
bool progress_every_second();
void set_progress_every_second(bool on);

// The task limit kept for the front end, clamped to 1..100 (10 at start).
std::int32_t max_task_num();
void set_max_task_num(std::int32_t n);

// The client's listen port (9768 until Init gives the configured one).
std::uint16_t listen_port();
void set_listen_port(std::uint16_t port);

// The folder ".bbm" files go to first: the common application-data folder
// followed by "ZVK" and a separator, empty when it cannot be made.
std::string bitmap_folder();
void set_bitmap_folder(const std::string& folder);

// The listen port was mapped through UPnP in this process, and the
// gateway's external address text.
bool upnp_done();
std::string external_ip();
void set_upnp_result(bool done, const std::string& external_ip);

// Back to the values at start (tests, and Init after Uninit).
void reset();

}   // namespace engine_flags
