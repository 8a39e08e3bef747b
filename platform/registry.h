// The registry key the service keeps its index-server settings, region code
// and client id under ("Software\QORN\Downloader"), as a small persistent
// store of string and DWORD values. Each key is one file in
// $VR_REGISTRY_DIR (else <appdata>/registry); every write saves it
// atomically under an flock, every read reloads it, so processes share it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr const char* downloader_key = "Software\\QORN\\Downloader";

// Folder of the key files.
std::string registry_dir();

class RegistryKey {
public:
    explicit RegistryKey(std::string key_path = downloader_key);

    // Reads a value; false when it is missing or of the other type.
    bool get_string(const std::string& name, std::string& out) const;
    bool get_dword(const std::string& name, std::uint32_t& out) const;

    // Writes a value (replacing one of either type); false when the file
    // cannot be saved.
    bool set_string(const std::string& name, const std::string& value);
    bool set_dword(const std::string& name, std::uint32_t value);

    // Removes a value; true when it is absent afterwards.
    bool remove(const std::string& name);

    // The file behind the key.
    std::string file_path() const;

private:
    std::string m_key;
};

}   // namespace platform
