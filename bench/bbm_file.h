// A task's ".bbm" read back through the engine, as a resumed start reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/p2sp_engine.h"

inline void ReadBbm(const std::string& path, std::vector<std::uint8_t>& bitmap,
                    std::vector<std::vector<std::uint8_t>>& tables)
{
    IP2SP_Engine* reader = CreateP2SPEngine();
    reader->ReadRecordFile(path.c_str(), bitmap, tables);
    DestroyP2SPEngine(reader);
}
