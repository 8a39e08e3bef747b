// Upload of a log file to a report server over TCP, shared by the
// download-data log and the run-time/exception log upload.
//
// The file goes as command packets (the system's one binary format: u32
// length of what follows, u8 flag 0, u16 command, u32 version 258, u8 field
// count, then fields of u16 id, u32 length, data; little-endian), command
// 90, one packet per part of at most 32768 bytes:
//   field 0: u64 client id
//   field 1: file name (text, no path, no NUL)
//   field 2: u32 part index (from 0)
//   field 3: u32 part count
//   field 4: the part's bytes (absent for an empty file: count 1, no data)
// After the last packet the client shuts its sending side down and waits
// up to 5000 ms for the server to close: that close is the receipt.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::uint16_t kLogUploadCommand = 90;
constexpr std::uint32_t kLogUploadPartSize = 32768;

// Uploads `contents` as `file_name`. True when every packet was sent and the
// server closed the connection within the receipt wait. Every wait is
// bounded (connect 5000 ms, each send and the receipt 5000 ms) and ends
// early, with false, once `stop` is set.
bool UploadLogFile(const std::string& host, std::uint16_t port, const std::string& file_name,
                   const std::string& contents, std::uint64_t client_id, const std::atomic<bool>* stop);

// Appends `text` to the file (creating it and its folder) unless the file
// would pass `max_bytes`: a server that never takes the file must not fill
// the disk. True when written. The caller serialises writers of the file.
bool AppendToCappedFile(const std::string& path, const std::string& text, std::size_t max_bytes);

// After an upload of `uploaded` (the file's contents when it was read):
// removes that prefix from the file, keeping what was appended since;
// deletes the file when nothing is left. The caller serialises writers.
void RemoveUploadedPrefix(const std::string& path, const std::string& uploaded);
