#include "service/service_log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "fagex/fagexLogManager.h"
#include "platform/paths.h"
#include "service/service_version.h"

namespace kx2dll {

const char* const service_log_name = "vr_download_dll.log";

namespace {

std::atomic<std::size_t> g_limit{default_service_log_limit};

// The service log's file, kept open in append mode; receives every line the
// log writes.
class appending_file : public fagex::LogListener {
public:
    ~appending_file() override { close(); }

    // `afresh`: the file of the run before is moved to the ".1" name, as
    // past the size limit, so the run that failed is still there to read.
    void open(const char* name, bool afresh)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        close_locked();
        if (afresh && platform::file_size(name) > 0)
            std::rename(name, (std::string(name) + ".1").c_str());
        m_name = name;
        m_file = std::fopen(name, "a");
    }

    void close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        close_locked();
    }

    void messageLogged(const std::string& message, int, bool, const std::string&) override { write_line(message); }

    // "HH:MM:SS: message", as fagex logs write their lines.
    void write_line(const std::string& message)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_file == nullptr)
            return;
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::fprintf(m_file, "%02d:%02d:%02d: %s\n", local.tm_hour, local.tm_min, local.tm_sec, message.c_str());
        std::fflush(m_file);
        const long size = std::ftell(m_file);
        if (size > 0 && static_cast<std::size_t>(size) > g_limit.load()) {
            std::fclose(m_file);
            std::rename(m_name.c_str(), (m_name + ".1").c_str());
            m_file = std::fopen(m_name.c_str(), "a");
        }
    }

private:
    void close_locked()
    {
        if (m_file != nullptr)
            std::fclose(m_file);
        m_file = nullptr;
    }

    std::mutex m_mutex;   // guards the file and its name
    std::FILE* m_file = nullptr;
    std::string m_name;
};

appending_file& service_file()
{
    static appending_file file;
    return file;
}

std::mutex g_log_mutex;   // serialises creating and deleting the log manager

}   // namespace

void set_service_log_limit(std::size_t bytes)
{
    g_limit.store(bytes);
}

std::string log_excerpt(const std::string& text)
{
    constexpr std::size_t shown = 1024;
    if (text.size() <= shown)
        return text;
    return text.substr(0, shown) + "... (" + std::to_string(text.size()) + " bytes)";
}

void open_service_log()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (fagex::LogManager::getSingletonPtr() != nullptr)
        return;
    service_file().open(service_log_name, true);
    service_file().write_line(std::string("vr_download ") + service_version());
    auto* manager = new fagex::LogManager;   // deleted by close_service_log
    fagex::Log* log = manager->createLog(service_log_name, true, false, true);
    log->addListener(&service_file());
}

void write_service_log(const std::string& message)
{
    if (fagex::LogManager* manager = fagex::LogManager::getSingletonPtr()) {
        manager->logMessage(message, fagex::LML_NORMAL);
        return;
    }
    appending_file file;
    file.open(service_log_name, false);
    file.write_line(message);
}

void close_service_log()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    delete fagex::LogManager::getSingletonPtr();
    service_file().close();
}

}   // namespace kx2dll
