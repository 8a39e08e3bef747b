// A download task on real channel, storage and host-cache managers in a
// temporary folder, for the task and scheduling tests. The harness plays
// the download manager (the task's owner and the storage event sink); NAT
// traversal is a recorder, since a real one would dial the peers named;
// the connection makers can be replaced to see what the task builds.
#pragma once

#include "engine/download_task.h"

#include "discovery/nat_manager.h"
#include "picker/block_request_map.h"
#include "engine/channel_manager.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/host_cache_manager.h"
#include "engine/storage_manager.h"
#include "engine/task_connection_makers.h"
#include "engine/task_state_mgr.h"
#include "net/io/io_service.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "recording_cmd_event.h"
#include "support/channel_fixture.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace task_test {

using test_support::ChannelFixture;

using test_support::wait_until;

inline std::uint32_t Ip(const char* text)
{
    return platform::parse_ipv4(text);
}

inline PeerInfo Peer(std::uint64_t id, std::uint8_t type, const char* ip = "127.0.0.1", std::uint16_t port = 4000)
{
    PeerInfo p{};
    p.clientid = id;
    p.peertype = type;
    p.publicip = Ip(ip);
    p.publicport = port;
    return p;
}

inline VPeerInfo Vpeer(std::uint64_t id, std::uint16_t port)
{
    VPeerInfo v{};
    v.clientid = id;
    v.ip = Ip("127.0.0.1");
    v.port = port;
    v.peertype = PEERTYPE_DIRECT;
    return v;
}

inline HostRecord Host(std::uint64_t id, std::uint8_t type, std::uint64_t parent_id = 0)
{
    HostRecord h{};
    h.peer = Peer(id, type, "127.0.0.1", std::uint16_t(4000 + id));   // one listener per peer
    h.parent.clientid = parent_id;
    return h;
}

// The process clocks the task reads, moved by hand.
struct FakeClocks {
    static std::atomic<std::uint32_t>& Tick()
    {
        static std::atomic<std::uint32_t> tick{100000};
        return tick;
    }
    static std::atomic<std::int64_t>& Seconds()
    {
        static std::atomic<std::int64_t> seconds{1700000000};
        return seconds;
    }
    static std::uint32_t ReadTick() { return Tick().load(); }
    static std::int64_t ReadSeconds() { return Seconds().load(); }

    FakeClocks()
    {
        platform::set_tick_source(&ReadTick);
        CDownload_Task::SetSecondsSource(&ReadSeconds);
    }
    ~FakeClocks()
    {
        platform::set_tick_source(nullptr);
        CDownload_Task::SetSecondsSource(nullptr);
    }
    void AdvanceMs(std::uint32_t ms) { Tick().fetch_add(ms); }
    void AdvanceSeconds(std::int64_t s) { Seconds().fetch_add(s); }
};

// NAT traversal as a recorder of the peers asked for.
class RecordingNat : public INatManager {
public:
    struct Call {
        std::uint64_t task_id = 0;
        PeerInfo target{};
        PeerInfo parent{};
        std::uint32_t server_ip = 0;
        std::uint16_t server_port = 0;
        std::thread::id thread;   // that asked
    };

    bool Start(std::uint16_t*, PeerInfo, INatManagerEvent*) override { return true; }
    void Stop() override {}
    void SetSelf(const PeerInfo&) override {}
    void NatToPeer(std::uint64_t task_id, PeerInfo target, const PeerInfo* parent, std::uint32_t server_ip,
                   std::uint16_t server_port) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        Call call;
        call.task_id = task_id;
        call.target = target;
        if (parent)
            call.parent = *parent;
        call.server_ip = server_ip;
        call.server_port = server_port;
        call.thread = std::this_thread::get_id();
        m_calls.push_back(call);
    }
    void AddParentPeer(std::uint64_t, PeerInfo) override {}
    void AddSonPeer(std::uint64_t, PeerInfo) override {}
    int GetParentPeers(std::uint64_t, std::vector<PeerInfo>& out) override
    {
        out.assign(std::size_t(parents.load()), PeerInfo{});
        return parents.load();
    }
    int GetSonPeers(std::uint64_t, std::vector<PeerInfo>& out) override
    {
        out.clear();
        return 0;
    }

    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls;
    }
    // Client ids asked for, in order.
    std::vector<std::uint64_t> Targets()
    {
        std::vector<std::uint64_t> ids;
        for (const Call& c : Calls())
            ids.push_back(+c.target.clientid);
        return ids;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_calls.clear();
    }

    std::atomic<int> parents{0};

private:
    std::mutex m_lock;
    std::vector<Call> m_calls;
};

// What the replaced connection makers were asked to build.
struct MakerJournal {
    struct Made {
        char kind;   // 'p' peer connection, 'h' HTTP CDN connection, 'd' dial
        PeerInfo peer;
        std::uint8_t passive;
        std::uint16_t port;
    };
    static MakerJournal& Get()
    {
        static MakerJournal journal;
        return journal;
    }
    void Add(char kind, const PeerInfo& peer, std::uint8_t passive, std::uint16_t port)
    {
        std::lock_guard<std::mutex> guard(lock);
        made.push_back(Made{kind, peer, passive, port});
    }
    std::vector<Made> All()
    {
        std::lock_guard<std::mutex> guard(lock);
        return made;
    }
    std::vector<Made> Of(char kind)
    {
        std::vector<Made> out;
        for (const Made& m : All())
            if (m.kind == kind)
                out.push_back(m);
        return out;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        made.clear();
        dial_socket = platform::invalid_socket;
    }

    std::mutex lock;
    std::vector<Made> made;
    int dial_socket = platform::invalid_socket;   // what the dial returns
};

// Makers that record and build nothing (so every socket handed over is
// closed by the task); the dial returns MakerJournal::dial_socket.
inline TaskConnectionMakers RecordingMakers()
{
    TaskConnectionMakers m;
    m.peer = [](CDownload_Task*, const PeerInfo& peer, std::uint8_t passive) -> x_connection* {
        MakerJournal::Get().Add('p', peer, passive, 0);
        return nullptr;
    };
    m.http_cdn = [](CDownload_Task*, const PeerInfo& peer, std::uint8_t passive) -> x_connection* {
        MakerJournal::Get().Add('h', peer, passive, 0);
        return nullptr;
    };
    m.connect_http = [](PeerInfo& peer, std::uint16_t port) -> int {
        MakerJournal& j = MakerJournal::Get();
        j.Add('d', peer, 0, port);
        std::lock_guard<std::mutex> guard(j.lock);
        const int s = j.dial_socket;
        j.dial_socket = platform::invalid_socket;
        return s;
    };
    return m;
}

// Names the tests resolve without a name server: every name lies on the
// loopback address so that nothing the task or its CDN thread dials leaves
// the machine.
inline bool LoopbackResolve(const std::string& name, std::vector<std::uint32_t>& out)
{
    if (name == "three.example") {
        for (const char* a : {"127.0.0.1", "127.0.0.3", "127.0.0.2"})
            out.push_back(Ip(a));
        return true;
    }
    if (name == "one.example" || name == "127.0.0.1") {
        out.push_back(Ip("127.0.0.1"));
        return true;
    }
    return false;
}

class TaskHarness : public IDownloadTaskOwner, public IStorageManagerEvent {
public:
    static constexpr std::uint64_t kTaskId = 77;
    static constexpr std::uint64_t kSelfId = 1000;

    explicit TaskHarness(ChannelFixture fixture = ChannelFixture({300000, 100000}, 131072))
        : fx(std::move(fixture)),
          channels(new CChannelManager(dir.file("data"))),
          storage(new CStorageManager(channels.get())),
          hosts(new CHostCacheManager)
    {
        storage->SetEvent(this);
        self.clientid = kSelfId;
        self.peertype = PEERTYPE_SP;
        self.publicip = Ip("127.0.0.1");
        engine_flags::reset();
        // No CIS logon unless a test asks for one.
        engine_flags::set_index_servers_usable(false);
        g_Settings.Clear();
        transfer_limits::http_connection_limit().store(10);
        CTaskStateMgr::Instance().Clear();
        CTaskStateMgr::Instance().Set(kTaskId, TASKSTATE_QUEUED);
        MakerJournal::Get().Clear();
        SetTaskConnectionMakers(RecordingMakers());
    }

    ~TaskHarness() override
    {
        DeleteTask();
        // Nobody runs `io`: operations the task's connections left pending
        // (a CDN connection dialled at once) are ended here, so each
        // releases what it holds.
        io.run_abandoned();
        SetTaskConnectionMakers(DefaultTaskConnectionMakers());
        storage->SetEvent(nullptr);
        engine_flags::reset();
        g_Settings.Clear();
        transfer_limits::http_connection_limit().store(10);
    }

    // Builds the task; its timer thread is stopped so that the tests call
    // the timers themselves.
    CDownload_Task* MakeTask(bool keep_timers = false)
    {
        task.reset(new CDownload_Task(&io, kTaskId, fx.piece_size(), "game", this));
        if (!keep_timers)
            task->StopTimers();
        task->SetResolver(&LoopbackResolve);
        return task.get();
    }

    // Builds, starts (save-path form) and prepares the task: it is ready.
    CDownload_Task* MakeReadyTask()
    {
        MakeTask();
        EXPECT_TRUE(task->Start(std::uint32_t(fx.files().size()), fx.file_list(), dir.file("save")));
        EXPECT_TRUE(task->PrepareFiles());
        EXPECT_TRUE(task->IsReady());
        return task.get();
    }

    void DeleteTask() { task.reset(); }

    // Writes every block of the piece through storage.
    void WritePiece(std::uint32_t piece)
    {
        const std::string bytes = fx.piece_bytes(piece);
        for (std::uint32_t b = 0; b < BlocksInPiece(std::uint32_t(bytes.size())); ++b) {
            std::string block = bytes.substr(std::size_t(b) * kBlockSize, kBlockSize);
            BlockRequest req;
            req.piece = std::int32_t(piece);
            req.offset = std::int32_t(b * kBlockSize);
            req.length = std::int32_t(block.size());
            req.data = reinterpret_cast<std::uint8_t*>(&block[0]);
            ASSERT_TRUE(storage->WriteBlock(kTaskId, req));
        }
    }
    void WriteAllPieces()
    {
        for (std::uint32_t p = 0; p < fx.piece_count(); ++p)
            WritePiece(p);
    }
    std::uint64_t TotalSize() const
    {
        std::uint64_t total = 0;
        for (const auto& f : fx.files())
            total += f.content.size();
        return total;
    }
    std::uint32_t HostCount() { return hosts->GetHostCount(&kTaskId); }
    // A fixture file name with '/' separators, and where the task saves it.
    static std::string Slashed(std::string name)
    {
        std::replace(name.begin(), name.end(), '\\', '/');
        return name;
    }
    std::string SavedFile(const std::string& name) const { return dir.file("save") + "/" + Slashed(name); }

    // IDownloadTaskOwner
    ICmdEvent* GetCmdEvent() override { return sink_enabled ? &events : nullptr; }
    IChannelManager* GetChannelManager() override { return channels.get(); }
    IStorageManager* GetStorageManager() override { return storage.get(); }
    IHostCacheManager* GetHostCacheManager() override { return hosts.get(); }
    INatManager* GetNatManager() override { return &nat; }
    PeerInfo GetSelfPeerInfo() override { return self; }
    std::uint16_t GetListenPort() override { return 9123; }
    std::vector<CisAddress> GetCisList() override
    {
        std::lock_guard<std::mutex> guard(cis_lock);
        return cis;
    }

    // IStorageManagerEvent (what the download manager relays)
    void OnChannelStorageReady(std::uint64_t id, const std::vector<std::uint8_t>& bitmap,
                               const std::vector<std::vector<std::uint8_t>>& blocks,
                               const std::vector<std::uint32_t>& lengths) override
    {
        if (task && id == kTaskId)
            task->OnStorageReady(bitmap, blocks, lengths);
    }
    void OnPieceChecked(std::uint64_t id, std::uint32_t piece, std::uint8_t result) override
    {
        if (task && id == kTaskId)
            task->OnPieceChecked(piece, result);
    }
    void IncTaskStorageCounter(std::uint64_t id) override
    {
        if (task && id == kTaskId)
            task->IncStorageCounter();
    }

    test_support::TempDir dir;
    ChannelFixture fx;
    std::unique_ptr<CChannelManager> channels;
    std::unique_ptr<CStorageManager> storage;
    std::unique_ptr<CHostCacheManager> hosts;
    engine_test::RecordingCmdEvent events;
    bool sink_enabled = true;
    RecordingNat nat;
    PeerInfo self{};
    std::mutex cis_lock;   // guards cis
    std::vector<CisAddress> cis;
    i_io_service io;
    std::unique_ptr<CDownload_Task> task;
};

// A connected TCP pair on 127.0.0.1: `ours` is handed to the task, `theirs`
// tells whether it was closed.
struct SocketPair {
    SocketPair()
    {
        platform::socket_t listener = platform::tcp_socket();
        platform::bind_ipv4(listener, Ip("127.0.0.1"), 0);
        platform::listen_socket(listener, 1);
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        platform::local_endpoint(listener, ip, port);
        ours = platform::tcp_socket();
        platform::connect_ipv4(ours, Ip("127.0.0.1"), port);
        std::uint32_t error = 0;
        theirs = platform::accept_socket(listener, nullptr, nullptr, error);
        platform::close_socket(listener);
    }
    ~SocketPair()
    {
        platform::close_socket(theirs);
        if (!handed_over)
            platform::close_socket(ours);
    }
    int Hand()
    {
        handed_over = true;
        return ours;
    }
    // True when the other end sees the stream end within `ms`.
    bool ClosedWithin(std::uint32_t ms)
    {
        if (platform::wait_readable(theirs, ms) != 1)
            return false;
        char byte;
        std::uint32_t error = 0;
        return platform::receive_some(theirs, &byte, 1, error) <= 0;
    }

    platform::socket_t ours = platform::invalid_socket;
    platform::socket_t theirs = platform::invalid_socket;
    bool handed_over = false;
};

}   // namespace task_test
