// A small HTTP server on 127.0.0.1 for the ranged-GET tests: it serves
// files held in memory, honours "Range: bytes=<start>-" with a 206 answer,
// and can misbehave on purpose (header split over two sends, a range
// ignored, a byte corrupted, a fixed raw answer, silence, an answer cut
// short, a kept connection closed unannounced). One thread per
// connection; every wait is bounded and Stop() joins them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

class RangeServer {
public:
    struct Behaviour {
        // Send the answer's header in two sends: first this many bytes,
        // then, 50 ms later, the rest (0: one send).
        std::size_t header_split = 0;
        // Answer 200 with the whole file whatever the range.
        bool ignore_range = false;
        // Flip the byte at this offset of the answer's body (-1: never);
        // only in the first `corrupt_answers` answers long enough.
        std::int64_t corrupt_at = -1;
        std::uint32_t corrupt_answers = 1;
        // Once an answer was corrupted, answer every later request 404.
        bool refuse_after_corrupt = false;
        // Sent as it is instead of an answer (then the connection closes).
        std::string raw_answer;
        // Read the request and never answer (until stopped).
        bool silent = false;
        // Close the connection after this many body bytes (0: never).
        std::size_t cut_after = 0;
        // Send each answer's body at this many bytes per second (0: at once).
        std::size_t rate = 0;
        // Answer this many requests on one connection without "Connection:
        // close", then close it unannounced (0: one answer, which says
        // "Connection: close").
        std::uint32_t keep_alive_answers = 0;
    };

    RangeServer();
    ~RangeServer();
    RangeServer(const RangeServer&) = delete;
    RangeServer& operator=(const RangeServer&) = delete;

    // Serves `content` at `url_path` (e.g. "/game/data/file0.bin").
    void AddFile(const std::string& url_path, const std::string& content);
    void SetBehaviour(const Behaviour& behaviour);

    bool Start();
    void Stop();
    std::uint16_t port() const { return m_port; }
    std::string base_url() const;

    std::size_t Accepts() const { return m_accepts.load(); }
    std::size_t CorruptAnswers() const { return m_corrupt.load(); }
    // The request texts received so far (header only).
    std::vector<std::string> Requests() const;

private:
    void AcceptLoop();
    void Serve(int fd);
    // Reads one request and answers it; false when the connection is to end.
    bool ServeOne(int fd, bool keep);
    bool SendAll(int fd, const char* data, std::size_t size);
    std::string Answer(const std::string& request, std::string& body_out, std::size_t& split, bool keep);

    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_accept_thread;
    mutable std::mutex m_lock;   // guards everything below
    struct Connection {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;   // Serve has returned
    };
    std::vector<Connection> m_connections;
    std::map<std::string, std::string> m_files;
    Behaviour m_behaviour;
    std::vector<std::string> m_requests;
    std::atomic<std::size_t> m_accepts{0};
    std::atomic<std::size_t> m_corrupt{0};
};

}   // namespace test_support
