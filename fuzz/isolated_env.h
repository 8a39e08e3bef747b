#pragma once
// Points every folder the platform layer writes to (registry, application
// data, logs, runtime files) into the target's scratch folder, so a target
// that runs the real clients leaves nothing behind on the machine.

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "scratch_file.h"

// Sets the folders once, before the first client is made; returns the
// scratch folder.
inline const std::string& isolate_platform_folders(const char* stem)
{
    static const std::string folder = [stem] {
        const std::string f = fuzz_scratch::path(stem);
        mkdir(f.c_str(), 0700);
        for (const char* name : {"VR_APPDATA_DIR", "VR_REGISTRY_DIR", "VR_SYSTEM_DIR", "VR_QORN_DIR", "VR_VELMAR_DIR",
                                 "VR_RUNTIME_DIR", "VR_MODULE_DIR"})
            setenv(name, (f + "/" + name).c_str(), 1);
        setenv("VR_CLIENT_LOG_MARKER", (f + "/dlllogout.log").c_str(), 1);
        return f;
    }();
    return folder;
}
