// Process-wide transfer counters and limits shared by the connections and
// the engine, kept here so the connections need nothing of the engine:
// the speed-limit switch and the byte limits the engine facade sets, the
// per-second byte buckets behind the engine's average speeds, the request
// buckets of the receive pump and the HTTP connection limit.
//
// Buckets are indexed by the current time in seconds modulo 10; the first
// bytes of a new second overwrite the bucket, later ones add to it.
#pragma once

#include <atomic>
#include <cstdint>

namespace transfer_limits {

// The speed-limit switch (limits apply only while it is on).
void set_speed_limit_on(bool on);
bool speed_limit_on();

// Per-second limits in bytes.
void set_limits(std::uint32_t download_bytes, std::uint32_t upload_bytes);
std::uint32_t download_limit();
std::uint32_t upload_limit();

// Counts payload moved this second (the engine's immediate counters).
// While the switch is on, a bucket that reaches its limit writes
// "zeq::debug -- immediate download bytes[" n "]" (upload likewise) to the
// client log.
void add_immediate_bytes(std::uint32_t downloaded, std::uint32_t uploaded);

// Recomputes the averages over the ten buckets (bytes per second) and
// writes "avg speed: down[" d "],up[" u "]" to the client log.
void update_average_speed();
float average_download_speed();
float average_upload_speed();

// Sum of the ten download / upload buckets.
std::uint64_t download_bucket_sum();
std::uint64_t upload_bucket_sum();

// Records the length of a receive being started. While the switch is on
// and this second's total has reached the download limit, writes
// "zeq::debug -- immediate request bytes[" n "]" to the client log.
void add_request_bytes(std::uint32_t bytes);
// This second's request total.
std::uint32_t current_request_bytes();

// The HTTP connection limit: 10 at start.
std::atomic<std::int32_t>& http_connection_limit();

// Seconds since 1970 as the counters and connection speeds see them;
// tests replace the source (nullptr restores the clock).
std::int64_t now_seconds();
using seconds_source = std::int64_t (*)();
void set_seconds_source(seconds_source source);

// Clears buckets, averages, limits and the switch (tests).
void reset();

}   // namespace transfer_limits
