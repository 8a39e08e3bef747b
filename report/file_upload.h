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
// up to 5000 ms for the server's receipt: one command packet, command 90,
// field 0 a u32 result (0: the file was taken), then the server's close. A
// close without that packet, or any other result, is no receipt: the lines
// stay for the next upload.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::uint16_t kLogUploadCommand = 90;
constexpr std::uint32_t kLogUploadPartSize = 32768;
// The receipt's result field and the result that means "taken".
constexpr std::uint16_t kLogUploadResultField = 0;
constexpr std::uint32_t kLogUploadTaken = 0;

// Uploads `contents` as `file_name`. True when every packet was sent and the
// server's receipt with result 0 came within the receipt wait. Every wait is
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
