// The "log.conf" debug log. A file "log.conf" beside the module switches it:
//
//   LOGSWITCH=3      text lines of level 1..3 are written (0: none)
//   DATSWITCH=3      data dumps of level 1..3 are written (0: none)
//   SCANCONFTIME=60  seconds between re-reads of "log.conf" (default 60)
//
// (keys are case-insensitive, "=", ":" or blanks separate key and value,
// lines starting with '#', ';' or '[' are ignored). Without "log.conf" both
// switches are 0 and nothing is written. A thread re-reads the file every
// SCANCONFTIME seconds, so the log can be switched on in a running service.
//
// Text lines go to "<prefix>_debug.log", data dumps to "<prefix>_data.log",
// both in the same folder. A text line is "YYYY-MM-DD hh:mm:ss.mmm [tid] "
// followed by the formatted message; a data dump is such a header line with
// the label and the byte count, then the raw bytes and a line end. Each
// file stops growing at 256 MiB (a dump of every block fills disks).
#pragma once

#include <cstdint>
#include <string>

class DebugLog {
public:
    // Starts the log under `prefix` in `folder` (the module folder when
    // empty): reads "log.conf" and starts the re-read thread. True when it
    // runs (also when it already ran; a second Start changes nothing).
    static bool Start(const char* prefix, const std::string& folder = std::string());

    // Stops the re-read thread (within 3000 ms) and closes the files.
    static void Stop();

    // Appends one timestamped line when the log runs and 1 <= level <=
    // LOGSWITCH. printf-style format.
    static void WriteLog(int level, const char* format, ...);

    // Appends a header line (timestamp, formatted label, length) and the
    // raw bytes when the log runs and 1 <= level <= DATSWITCH.
    static void WriteData(int level, const void* data, std::uint32_t length, const char* format, ...);

    // The switches as last read (0 when not running).
    static int LogSwitch();
    static int DataSwitch();
    static std::uint32_t ScanSeconds();

    static bool IsStarted();

    // Paths of the two output files (empty when not running).
    static std::string LogFilePath();
    static std::string DataFilePath();
};
