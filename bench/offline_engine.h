// What the benches that run a whole engine share: an engine kept offline
// (its folders inside a temporary folder, its servers on closed 127.0.0.1
// ports), its HTTP peers from a CDN query, and the wait for a task's
// completion event.
#pragma once

#include "engine/client_main.h"
#include "engine/p2sp_engine.h"
#include "engine/p2sp_engine_impl.h"
#include "platform/event.h"
#include "platform/tick.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace bench {

// Set by the completion event of the task awaited_task() names.
inline platform::Event& task_done()
{
    static platform::Event done(platform::Event::Reset::manual);
    return done;
}

inline std::atomic<std::uint64_t>& awaited_task()
{
    static std::atomic<std::uint64_t> id{0};
    return id;
}

inline std::uint32_t OnEngineEvent(std::uint32_t code, std::uintptr_t data, void*)
{
    if (code == CBE_TASK_COMPLETED) {
        std::uint64_t id = 0;
        std::memcpy(&id, reinterpret_cast<const void*>(data), sizeof(id));
        if (id == awaited_task().load())
            task_done().set();
    }
    return 0;
}

inline void Offline(CClientMain& client)
{
    client.SetUpnpEnabled(false);
    client.SetRisTimeouts(1000, 1000);
}

// Keeps every folder and server the engine touches inside `dir` and on
// 127.0.0.1 closed ports.
inline void IsolateEngine(const std::string& dir)
{
    const char* folders[][2] = {{"VR_APPDATA_DIR", "appdata"},   {"VR_MODULE_DIR", "module"},
                                {"VR_REGISTRY_DIR", "registry"}, {"VR_QORN_DIR", "qorn"},
                                {"VR_VELMAR_DIR", "velmar"},     {"VR_SYSTEM_DIR", "system"}};
    for (const auto& f : folders) {
        const std::string path = dir + "/" + f[1];
        std::filesystem::create_directories(path);
        ::setenv(f[0], path.c_str(), 1);
    }
    for (const char* server :
         {"VR_RIS_SOUTH", "VR_RIS_NORTH", "VR_ROUTE_SERVER", "VR_LOG_SERVER", "VR_BOOTLOG_SERVER", "VR_DATALOG_SERVER"})
        ::setenv(server, "127.0.0.1:1", 1);
    ::setenv("VR_LAN_BROADCAST", "127.0.0.1", 1);
    ::setenv("VR_UPNP_ROOTDESC", "http://127.0.0.1:1/rootDesc.xml", 1);
}

// An offline engine with its data under `dir`, asking its CDN query of
// `cdn_query_prefix`, its session up; null when it does not start.
inline IP2SP_Engine* StartOfflineEngine(const std::string& dir, const std::string& cdn_query_prefix)
{
    IP2SP_Engine* engine = CreateP2SPEngine();
    static_cast<CP2SP_EngineImpl*>(engine)->SetClientSetup(&Offline);
    engine->SetConfigValue("only_cdn_by_id", cdn_query_prefix);
    EngineInitBlock block{};
    std::strncpy(block.data_folder, (dir + "/data").c_str(), sizeof(block.data_folder) - 1);
    std::strncpy(block.bitmap_folder, (dir + "/launcher").c_str(), sizeof(block.bitmap_folder) - 1);
    if (engine->Init(&block, &OnEngineEvent, nullptr) != 0) {
        DestroyP2SPEngine(engine);
        return nullptr;
    }
    platform::sleep_ms(1500);   // the refused logon turns into the offline session
    return engine;
}

}   // namespace bench
