// Finds peers of the same tasks on the local network.
//
// UDP, two sockets: queries are received on port 7001; queries are sent
// from, and answers received on, port 7000.
//   query (16 bytes, broadcast to port 7001): u64 task id, u64 client id of
//     the asker
//   answer (18 bytes, to the address the query came from): u64 task id,
//     u64 client id of the answerer, u16 its peer listen port
// A peer answers only for tasks in its set and never to its own client id;
// answers are kept only for tasks in the asker's own set.
// Datagrams of any other length are ignored.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/thread.h"

// One peer found on the LAN.
struct LanPeer {
    std::uint64_t clientid = 0;
    std::uint16_t port = 0;   // its peer listen port
    std::string ip;           // dotted IPv4 text
};

class CLanPeerDiscovery {
public:
    CLanPeerDiscovery();
    ~CLanPeerDiscovery();   // Stop()
    CLanPeerDiscovery(const CLanPeerDiscovery&) = delete;
    CLanPeerDiscovery& operator=(const CLanPeerDiscovery&) = delete;

    // Own client id and peer listen port (sent in answers); may be called
    // again while running.
    void SetParams(std::uint64_t client_id, std::uint16_t port);

    // Ports and query destination: defaults 7000, 7001 and the broadcast
    // address 255.255.255.255 (VR_LAN_BROADCAST overrides the address,
    // VR_LAN_ANSWER_PORT the answer port, so that services on one host
    // each get their answers).
    // Ports of 0 bind free ones (tests); call before Start.
    void SetPorts(std::uint16_t answer_port, std::uint16_t query_port);
    void SetQueryTarget(const std::string& ip, std::uint16_t port);
    std::uint16_t GetAnswerPort() const { return m_answer_port; }
    std::uint16_t GetQueryPort() const { return m_query_port; }

    // Binds both sockets and starts the thread; false when either fails.
    bool Start();
    // Stops the thread (within about 2000 ms) and closes the sockets.
    void Stop();

    // The tasks queries are answered for.
    void AddTask(std::uint64_t task_id);
    void RemoveTask(std::uint64_t task_id);

    // Sends the 16-byte query for the task.
    void SendQuery(std::uint64_t task_id);

    // Copies the peers recorded for the task (client id -> peer).
    void GetPeers(std::uint64_t task_id, std::map<std::uint64_t, LanPeer>& out) const;

    // Live LAN peer connections: raised by each LAN connection, lowered when
    // it goes, never below 0.
    std::int32_t GetLanConnCount() const { return m_conn_count.load(); }
    void IncLanConnCount();
    void DecLanConnCount();

    // The LAN discovery of the process (set by whoever created it, null
    // while none runs).
    static CLanPeerDiscovery* GetInstance();
    static void SetInstance(CLanPeerDiscovery* instance);

private:
    void Run();
    void HandleAnswer(const std::uint8_t* data, std::uint32_t from_ip);
    void CloseSockets();
    // Debug builds: peers are kept only for tasks of the set, within caps.
    // Call under m_lock.
    void check_invariant() const;

    std::atomic<std::uint64_t> m_client_id{0};   // replaced when a later logon gives one
    std::atomic<std::uint16_t> m_listen_port{0};
    std::uint16_t m_answer_port = 7000;
    std::uint16_t m_query_port = 7001;
    std::string m_target_ip;
    std::uint16_t m_target_port = 7001;
    std::mutex m_send_lock;   // guards the sockets against SendQuery during Stop, and the target
    int m_answer_socket = -1;
    int m_query_socket = -1;
    std::atomic<bool> m_running{false};
    std::atomic<std::int32_t> m_conn_count{0};
    mutable std::mutex m_lock;   // guards m_tasks and m_peers
    std::set<std::uint64_t> m_tasks;
    std::map<std::uint64_t, std::map<std::uint64_t, LanPeer>> m_peers;
    platform::Thread m_thread;
};
