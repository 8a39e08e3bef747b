// A RIS on 127.0.0.1 for tests: answers the logon (command 50) as told,
// refuses it, answers wrongly, stays silent or hangs up.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/peer_info.h"
#include "support/fake_packet_server.h"

namespace test_support {

class FakeRisServer {
public:
    enum class Mode {
        answer,      // a well-formed reply built from answer()
        refuse,      // a reply with result = answer().result (non-zero)
        malformed,   // a reply of the right command missing its required fields
        wrong_cis,   // a CIS list that is not a whole number of records
        garbage,     // bytes that are not a command packet at all
        silent,      // reads the logon and never answers
        hang_up,     // closes the connection on the logon
    };

    struct Answer {
        std::uint32_t result = 0;
        std::uint32_t status = 0;
        std::uint64_t clientid = 4242;
        std::uint32_t region = 86;
        std::uint32_t publicip = 0x01020304;   // host order
        std::uint8_t peertype = 1;
        std::vector<CisAddress> cis;
        std::uint64_t server_time = 1700000000;
    };

    FakeRisServer();
    ~FakeRisServer();

    bool Start();
    void Stop();
    std::uint16_t port() const { return m_server.port(); }
    // "127.0.0.1:port", as VR_RIS_SOUTH takes it.
    std::string address() const;

    void SetMode(Mode mode);
    void SetAnswer(const Answer& answer);

    // Logon packets received, and the client id / region of the last one.
    int logons() const;
    std::uint64_t last_client_id() const;
    std::uint32_t last_region() const;
    int connections() const { return m_server.connections(); }

private:
    bool Handle(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply);

    FakePacketServer m_server;
    mutable std::mutex m_lock;   // guards everything below
    Mode m_mode = Mode::answer;
    Answer m_answer;
    int m_logons = 0;
    std::uint64_t m_last_client_id = 0;
    std::uint32_t m_last_region = 0;
};

}   // namespace test_support
