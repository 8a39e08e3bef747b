// A small log/upload server on 127.0.0.1 for tests: it records what clients
// send. In http mode it reads HTTP requests (pipelined or not), records each
// request line and its User-Agent, answers each with a status and a body set
// per path (200 with an empty body by default) and closes after a request
// that asks for "Connection: close" or when the client ends its stream. In
// raw mode it records every byte of a connection until the client ends its
// stream, then answers with the upload receipt (command 90, result 0, or
// what SetUploadAnswer says) and closes.
// Connections are served one after the other on one thread; every wait is
// bounded and Stop ends the thread within about 100 ms.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeLogServer {
public:
    enum class Mode { http, raw };

    explicit FakeLogServer(Mode mode = Mode::http);
    ~FakeLogServer();
    FakeLogServer(const FakeLogServer&) = delete;
    FakeLogServer& operator=(const FakeLogServer&) = delete;

    // Listens on 127.0.0.1 at an ephemeral port (or `port` when not 0).
    bool Start(std::uint16_t port = 0);
    void Stop();
    std::uint16_t port() const { return m_port; }

    // Reply for requests of `path` ("/clog_switch.txt").
    void SetReply(const std::string& path, int status, const std::string& body);

    // raw mode: keep connections open after the client's end of stream (an
    // uploader then waits for its receipt in vain).
    void SetWithholdClose(bool on) { m_withhold_close.store(on); }
    // raw mode: the result the receipt carries (0: taken), or -1 for a
    // close without a receipt.
    void SetUploadAnswer(std::int64_t result) { m_upload_answer.store(result); }

    // Request lines ("GET /x HTTP/1.1") in arrival order, and the User-Agent
    // of each request ("" when absent).
    std::vector<std::string> RequestLines() const;
    std::vector<std::string> UserAgents() const;
    // raw mode: the bytes of each finished connection.
    std::vector<std::string> Uploads() const;
    std::size_t Connections() const { return m_connections.load(); }

    // Wait (bounded) until at least `n` request lines / uploads arrived.
    bool WaitForRequests(std::size_t n, std::uint32_t ms) const;
    bool WaitForUploads(std::size_t n, std::uint32_t ms) const;
    void ClearRecords();

private:
    void Run();
    void Serve(int socket);
    void ServeHttp(int socket, std::string& buffer, bool& close_now);

    const Mode m_mode;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_withhold_close{false};
    std::atomic<std::int64_t> m_upload_answer{0};
    std::atomic<std::size_t> m_connections{0};
    mutable std::mutex m_lock;   // guards the records and the replies
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_lines;
    std::vector<std::string> m_agents;
    std::vector<std::string> m_uploads;
    std::map<std::string, std::pair<int, std::string>> m_replies;
};
