// Ends a bench's downloading engine and clears the process-wide state it
// leaves behind, so that the next engine in the same process starts afresh.
#pragma once

#include "discovery/server_list.h"
#include "engine/client_main.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/p2sp_engine.h"
#include "engine/task_state_mgr.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "support/engine_test_env.h"

#include <cstdint>

// `started`: task `task` was handed over; it is stopped and its
// connections are let end while the I/O thread still runs.
inline void EndEngine(IP2SP_Engine* engine, const test_support::EngineCallbackLog& log, std::uint64_t task,
                      bool started)
{
    if (started) {
        engine->StopTask(task);
        log.WaitFor(11, 30000);
        live_connections::wait_for_zero(task, 30000, 10);
    }
    DestroyP2SPEngine(engine);
    DestroyLogConnection();
    CTaskStateMgr::Instance().Clear();
    CServerList::Instance().Clear();
    g_Settings.Clear();
    engine_flags::reset();
    transfer_limits::reset();
}
