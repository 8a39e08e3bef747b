// The engine's own set of named logs, apart from the service's log manager.
// At most one exists at a time; the engine deletes it, and with it every log
// it holds, when the engine itself is destroyed.
#pragma once

#include "fagex/fagexLogManager.h"
#include "fagex/fagexSingleton.h"

class EngineLogManager : public fagex::Singleton<EngineLogManager>, public fagex::LogRegistry {
public:
    // Registers itself as the process-wide engine log manager
    // (getSingletonPtr); destruction deletes its logs and clears that.
    EngineLogManager() : fagex::LogRegistry("EngineLogManager") {}
};
