#include "engine/engine_settings.h"

CEngineSettings g_Settings;

void CEngineSettings::Set(const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_values[key] = value;
}

std::string CEngineSettings::Get(const std::string& key) const
{
    std::string value;
    Find(key, value);
    return value;
}

bool CEngineSettings::Find(const std::string& key, std::string& value) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_values.find(key);
    if (it == m_values.end())
        return false;
    value = it->second;
    return true;
}

void CEngineSettings::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_values.clear();
}
