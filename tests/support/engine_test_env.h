// Helpers for the engine core's tests: a recorder of launcher callbacks
// that copies each payload during the call, a session double, and an
// environment that keeps every folder and server of the engine inside a
// temporary folder and on 127.0.0.1.
#pragma once

#include "engine/client_main.h"
#include "engine/i_download_session.h"
#include "engine/p2sp_engine.h"
#include "engine/p2sp_engine_impl.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace test_support {

// Client set-up for engines under test: no UPnP search, and logons to
// the index servers (closed ports here) that give up within a second.
inline void NoUpnp(CClientMain& client)
{
    client.SetUpnpEnabled(false);
    client.SetRisTimeouts(1000, 1000);
}

// One callback as the launcher saw it.
struct EngineEvent {
    std::uint32_t code = 0;
    std::int32_t value = 0;            // codes 2, 3, 4
    std::vector<std::uint8_t> bytes;   // the payload, copied during the call

    std::uint64_t U64(std::size_t at = 0) const
    {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i)
            v = (v << 8) | bytes.at(at + i);
        return v;
    }
    std::uint32_t U32(std::size_t at) const
    {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | bytes.at(at + i);
        return v;
    }
    float F32(std::size_t at) const
    {
        const std::uint32_t bits = U32(at);
        float f = 0;
        std::memcpy(&f, &bits, sizeof(f));
        return f;
    }
    // The NUL-terminated text at `at` (the NUL must be inside the payload).
    std::string Text(std::size_t at) const
    {
        std::size_t end = at;
        while (bytes.at(end) != 0)
            ++end;
        return std::string(bytes.begin() + at, bytes.begin() + end);
    }
};

// Records every callback; pass Callback with the recorder as the user pointer.
class EngineCallbackLog {
public:
    static std::uint32_t Callback(std::uint32_t code, std::uintptr_t data, void* user)
    {
        auto* self = static_cast<EngineCallbackLog*>(user);
        if (!self)
            return 0;
        EngineEvent e;
        e.code = code;
        const auto* p = reinterpret_cast<const std::uint8_t*>(data);
        auto copy = [&](std::size_t n) { e.bytes.assign(p, p + n); };
        auto text_end = [&](std::size_t at) { return at + std::strlen(reinterpret_cast<const char*>(p + at)) + 1; };
        switch (code) {
        case 2:
        case 3:
        case 4:
            e.value = static_cast<std::int32_t>(data);
            break;
        case 0:
            copy(24);
            break;
        case 1:
            copy(text_end(8) + 4);
            break;
        case 5:
        case 9:
        case 11:
        case 12:
        case 13:
            copy(8);
            break;
        case 7:
            copy(text_end(4));
            break;
        case 8:
        case 16:
            copy(text_end(0));
            break;
        case 10:
            copy(16);
            break;
        case 14:
            copy(text_end(text_end(8)));
            break;
        case 15:
            copy(text_end(8));
            break;
        case 17:
            copy(8);
            break;
        default:
            break;
        }
        std::lock_guard<std::mutex> guard(self->m_lock);
        self->m_events.push_back(std::move(e));
        return 0;
    }

    std::vector<EngineEvent> Events() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events;
    }
    std::vector<std::uint32_t> Codes() const
    {
        std::vector<std::uint32_t> codes;
        for (const EngineEvent& e : Events())
            codes.push_back(e.code);
        return codes;
    }
    // Counted in place: a copy of every event on each poll would hold the
    // lock that the engine's threads need to report the next one.
    std::size_t Count(std::uint32_t code) const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::size_t n = 0;
        for (const EngineEvent& e : m_events)
            n += e.code == code ? 1 : 0;
        return n;
    }
    // The last event of `code`; false when none.
    bool Last(std::uint32_t code, EngineEvent& out) const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_events.rbegin(); it != m_events.rend(); ++it) {
            if (it->code == code) {
                out = *it;
                return true;
            }
        }
        return false;
    }
    // Waits (bounded) until `code` has been raised `times` times.
    bool WaitFor(std::uint32_t code, std::uint32_t ms, std::size_t times = 1) const
    {
        return wait_until([&] { return Count(code) >= times; }, ms);
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.clear();
    }

private:
    mutable std::mutex m_lock;
    std::vector<EngineEvent> m_events;
};

// A session double: records what the client core hands it.
class FakeDownloadSession : public IDownload_Session {
public:
    struct Added {
        std::uint64_t task_id = 0;
        bool history = false;
        std::string source_folder;
        std::string folder;
        std::vector<std::uint8_t> bitmap;
    };

    // The last session the factory made (null after its destruction), what
    // it was made with, and the result its adds give.
    static std::atomic<FakeDownloadSession*>& Current()
    {
        static std::atomic<FakeDownloadSession*> current{nullptr};
        return current;
    }
    static std::atomic<int>& AddResult()
    {
        static std::atomic<int> result{1};
        return result;
    }
    // How long the next StopTask call takes (a caller held up elsewhere).
    static std::atomic<std::uint32_t>& StopDelayMs()
    {
        static std::atomic<std::uint32_t> delay{0};
        return delay;
    }
    // Called in each add before it returns, outside the session's lock (a
    // test holds an add there); null: none.
    static std::atomic<void (*)(std::uint64_t task_id)>& AddGate()
    {
        static std::atomic<void (*)(std::uint64_t)> gate{nullptr};
        return gate;
    }
    static std::atomic<int>& StopCalls()
    {
        static std::atomic<int> calls{0};
        return calls;
    }
    static std::atomic<int>& Destroyed()
    {
        static std::atomic<int> destroyed{0};
        return destroyed;
    }
    // Destroying the session ends every task added to it with its stop
    // report (type 10), as the engine's tasks do.
    static std::atomic<bool>& StopReportsOnDestroy()
    {
        static std::atomic<bool> reports{false};
        return reports;
    }
    static IDownload_Session* Create(const PeerInfo& self, const std::vector<CisAddress>& cis_list,
                                     const std::string& data_folder)
    {
        auto* session = new FakeDownloadSession();
        session->self = self;
        session->cis_list = cis_list;
        session->data_folder = data_folder;
        Current().store(session);
        return session;
    }
    static void Destroy(IDownload_Session* session)
    {
        FakeDownloadSession* expected = static_cast<FakeDownloadSession*>(session);
        Current().compare_exchange_strong(expected, nullptr);
        auto* fake = static_cast<FakeDownloadSession*>(session);
        ICmdEvent* sink = fake ? fake->event.load() : nullptr;
        if (sink && StopReportsOnDestroy().load()) {
            for (const Added& added : fake->Adds())
                sink->OnTaskInfo(added.task_id, "", 10, 7, 8, 9);
        }
        delete session;
        ++Destroyed();
    }

    PeerInfo self{};
    std::vector<CisAddress> cis_list;
    std::string data_folder;
    std::atomic<ICmdEvent*> event{nullptr};
    std::atomic<bool> started{false};

    std::vector<Added> Adds() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_adds;
    }
    std::vector<std::uint64_t> Stops() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_stops;
    }

    void SetCmdEvent(ICmdEvent* e) override { event.store(e); }
    bool Start() override
    {
        started = true;
        return true;
    }
    int AddTaskDownload(std::uint64_t task_id, std::uint32_t, const std::string& source_folder, std::uint32_t,
                        const std::string&, const std::vector<std::uint8_t>& bitmap,
                        const std::vector<std::vector<std::uint8_t>>&, const std::string& folder, std::uint8_t) override
    {
        return Record({task_id, true, source_folder, folder, bitmap});
    }
    int AddTaskDownload(std::uint64_t task_id, std::uint32_t, const std::string& source_folder, std::uint32_t,
                        const std::string&, const std::string& folder) override
    {
        return Record({task_id, false, source_folder, folder, {}});
    }
    int AddTaskDownload(std::uint64_t task_id, std::uint32_t, const std::string& source_folder, std::uint32_t,
                        const std::string&) override
    {
        return Record({task_id, false, source_folder, std::string(), {}});
    }
    void StopTask(std::uint64_t task_id) override
    {
        ++StopCalls();
        platform::sleep_ms(StopDelayMs().exchange(0));
        std::lock_guard<std::mutex> guard(m_lock);
        m_stops.push_back(task_id);
    }
    int SetRateLimits(float, float) override { return 0; }
    void SetGlobalFlag(std::uint8_t) override {}
    std::uint8_t GetRateLimits(float*, float*, std::uint8_t*) override { return 0; }
    void SetIdentity(const PeerInfo& new_self, const std::vector<CisAddress>& new_cis_list) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_identities.emplace_back(new_self, new_cis_list);
    }
    // What SetIdentity was given, in order.
    std::vector<std::pair<PeerInfo, std::vector<CisAddress>>> Identities() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_identities;
    }

private:
    int Record(const Added& added)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_adds.push_back(added);
        }
        if (auto gate = AddGate().load())
            gate(added.task_id);
        return AddResult().load();
    }

    mutable std::mutex m_lock;
    std::vector<Added> m_adds;
    std::vector<std::uint64_t> m_stops;
    std::vector<std::pair<PeerInfo, std::vector<CisAddress>>> m_identities;
};

// Every folder the engine writes to inside one temporary folder, every
// server it might reach on 127.0.0.1 (closed ports unless a test names a
// fake server).
class EngineTestEnv {
public:
    explicit EngineTestEnv(const std::string& ris = "127.0.0.1:1")
        : m_appdata("VR_APPDATA_DIR", m_dir.file("appdata")),
          m_module("VR_MODULE_DIR", m_dir.file("module")),
          m_registry("VR_REGISTRY_DIR", m_dir.file("registry")),
          m_qorn("VR_QORN_DIR", m_dir.file("qorn")),
          m_velmar("VR_VELMAR_DIR", m_dir.file("velmar")),
          m_system("VR_SYSTEM_DIR", m_dir.file("system")),
          m_lan("VR_LAN_BROADCAST", "127.0.0.1"),
          m_south("VR_RIS_SOUTH", ris),
          m_north("VR_RIS_NORTH", ris),
          m_route("VR_ROUTE_SERVER", "127.0.0.1:1"),
          m_log("VR_LOG_SERVER", "127.0.0.1:1"),
          m_bootlog("VR_BOOTLOG_SERVER", "127.0.0.1:1"),
          m_datalog("VR_DATALOG_SERVER", "127.0.0.1:1"),
          m_upnp("VR_UPNP_ROOTDESC", "http://127.0.0.1:1/rootDesc.xml")
    {
        Mkdir("appdata");
        Mkdir("module");
        Mkdir("registry");
    }
    const std::string& path() const { return m_dir.path(); }
    std::string file(const std::string& name) const { return m_dir.file(name); }

    // Engines in several processes of this host find each other by LAN
    // discovery: queries go to the loopback broadcast address, which the
    // query socket of every process receives, and each process takes its
    // answers on a port of its own.
    void ShareLoopbackLan()
    {
        m_lan_broadcast = std::make_unique<ScopedEnv>("VR_LAN_BROADCAST", "127.255.255.255");
        m_lan_answer = std::make_unique<ScopedEnv>("VR_LAN_ANSWER_PORT", "0");
    }

    // A new engine over these folders, offline (no UPnP, index servers
    // given up at once) with its CDN query at `cdn_query_prefix`, once its
    // offline session is built; null when it does not start.
    IP2SP_Engine* StartOfflineEngine(const std::string& cdn_query_prefix, EngineCallbackLog& log) const
    {
        IP2SP_Engine* engine = CreateP2SPEngine();
        static_cast<CP2SP_EngineImpl*>(engine)->SetClientSetup(&NoUpnp);
        engine->SetConfigValue("only_cdn_by_id", cdn_query_prefix);
        EngineInitBlock block{};
        std::strncpy(block.data_folder, file("data").c_str(), sizeof(block.data_folder) - 1);
        std::strncpy(block.bitmap_folder, file("launcher").c_str(), sizeof(block.bitmap_folder) - 1);
        if (engine->Init(&block, &EngineCallbackLog::Callback, &log) == 0 && log.WaitFor(4, 10000, 2))
            return engine;
        DestroyP2SPEngine(engine);
        return nullptr;
    }

private:
    void Mkdir(const std::string& name) { platform::create_folder(m_dir.file(name)); }

    TempDir m_dir;
    ScopedEnv m_appdata, m_module, m_registry, m_qorn, m_velmar, m_system, m_lan, m_south, m_north, m_route, m_log,
        m_bootlog, m_datalog, m_upnp;
    std::unique_ptr<ScopedEnv> m_lan_broadcast, m_lan_answer;
};

}   // namespace test_support
