#pragma once
// One engine facade per fuzz process, never initialised: its file and text
// helpers need no session. Destroyed at exit.

#include <cstdlib>

#include "engine/p2sp_engine.h"
#include "fuzz_check.h"

inline IP2SP_Engine& fuzz_engine()
{
    static IP2SP_Engine* const engine = [] {
        IP2SP_Engine* e = CreateP2SPEngine();
        FUZZ_CHECK(e != nullptr);
        return e;
    }();
    // Registered after `engine` is set, so it runs while the pointer is valid.
    static const bool cleanup = (std::atexit([] { DestroyP2SPEngine(engine); }), true);
    (void)cleanup;
    return *engine;
}
