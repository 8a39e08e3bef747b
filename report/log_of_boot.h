// Run-time and exception log upload, one pass per service start.
//
// "p2sp_runtimelen.log" collects one line per service run,
//   start=<unix s>,end=<unix s>,seconds=<run time>,clientid=<u64>
// written when the upload object stops; "p2sp_exception.log" collects lines
// that WriteException appends. Start uploads both files (those that exist
// and are not empty) once, on a one-shot thread, to the run-time log server
// (VR_BOOTLOG_SERVER, default 127.0.0.1:5113) in the format of
// file_upload.h, and empties each file after its receipt.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/thread.h"

class CLogOfBoot {
public:
    // `folder`: where both files live (the module folder when empty).
    explicit CLogOfBoot(const std::string& folder = std::string());
    // Stops (bounded) and writes the run-time line.
    ~CLogOfBoot();
    CLogOfBoot(const CLogOfBoot&) = delete;
    CLogOfBoot& operator=(const CLogOfBoot&) = delete;

    // Starts the one upload pass; true when started. Only the first call
    // starts anything.
    bool Start();

    // Sets the stop flag and waits for the pass (within 3000 ms); the first
    // Stop appends the run-time line.
    void Stop();

    // Appends one line to "p2sp_exception.log" (a line end is added).
    void WriteException(const std::string& text);

    // Waits up to `ms` for the pass; true when it is not running.
    bool WaitDone(std::uint32_t ms);
    // Number of files uploaded by the pass.
    int UploadedFiles() const { return m_uploaded.load(); }

    void SetServer(const std::string& host, std::uint16_t port);

    std::string RunTimeLogPath() const;
    std::string ExceptionLogPath() const;

private:
    void Pass();

    const std::string m_folder;
    const std::int64_t m_boot_time;
    std::string m_host;
    std::uint16_t m_port;
    platform::Thread m_thread;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_stopped{false};
    std::atomic<int> m_uploaded{0};
};
