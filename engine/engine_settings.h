// The engine's settings map: string keys to string values set by the front
// end through SetConfigValue ("limit_use_p2p_size", "only_cdn_by_id",
// "only_cdn_by_md5") and read by the tasks and the CDN query.
#pragma once

#include <map>
#include <mutex>
#include <string>

class CEngineSettings {
public:
    // Inserts or overwrites the entry of `key`.
    void Set(const std::string& key, const std::string& value);
    // The value of `key`, empty when absent.
    std::string Get(const std::string& key) const;
    // True with the value when `key` is present.
    bool Find(const std::string& key, std::string& value) const;
    // Empties the map (tests).
    void Clear();

private:
    mutable std::mutex m_lock;   // guards m_values
    std::map<std::string, std::string> m_values;
};

// The process-wide settings map.
extern CEngineSettings g_Settings;
