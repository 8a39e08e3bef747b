#include "src/service_exports.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>

#include "fagex/fagexException.h"
#include "fagex/fagexLogManager.h"
#include "fagex/fagexStringConverter.h"
#include "platform/named_event.h"
#include "src/net_service.h"
#include "src/system_info.h"

namespace {

const char* const service_log_name = "vr_download_dll.log";

void ensure_service_log()
{
    static std::mutex mutex;  // two hosts' threads may start at once
    std::lock_guard<std::mutex> lock(mutex);
    if (fagex::LogManager::getSingletonPtr() == nullptr) {
        auto* manager = new fagex::LogManager;  // deleted by the last NetService
        manager->createLog(service_log_name, true);
    }
}

// A start that is refused must not empty the log of a service that runs in
// another process from the same folder: without a log of its own yet, the
// line is appended to the file in the log's format.
void log_refusal(const std::string& message)
{
    if (fagex::LogManager::getSingletonPtr() != nullptr) {
        kx2dll::log_to_default(message);
        return;
    }
    std::FILE* file = std::fopen(service_log_name, "a");
    if (file == nullptr)
        return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::fprintf(file, "%02d:%02d:%02d: %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 message.c_str());
    std::fclose(file);
}

} // namespace

extern "C" void startService(void*, void*, const char* command_line, int)
{
    const std::string text = command_line != nullptr ? command_line : "";
    if (!fagex::StringConverter::isNumber(text)) {
        log_refusal("startService - 'lpCmdLine' is not number!");
        return;
    }
    const int game_id = fagex::StringConverter::parseInt(text);
    const std::string name = kx2dll::service_event_name(game_id);

    platform::NamedEvent event;
    bool already_running = false;
    if (!event.create(name, already_running)) {
        log_refusal("startService - cannot create the event " + name + "!");
        return;
    }
    if (already_running) {
        log_refusal("startService - dll is running!");
        event.close();
        return;
    }
    ensure_service_log();
    try {
        NetService service(game_id);
        service.Run();
    } catch (const fagex::Exception& e) {
        kx2dll::log_to_default("An exception has occured : " + e.getFullDescription() + "\n" +
                               "GetLastError() : " + kx2dll::get_last_error_text() + "\n");
    } catch (...) {
        kx2dll::log_to_default("An unkown exception has occured!");
    }
    NetService::release_log_manager();
    event.close();
}

extern "C" void shutdownService(void*, void*, const char* command_line, int)
{
    const std::string text = command_line != nullptr ? command_line : "";
    if (!fagex::StringConverter::isNumber(text))
        return;
    // Sets the event only when a live service of that game id holds it.
    platform::NamedEvent::signal(kx2dll::service_event_name(fagex::StringConverter::parseInt(text)));
}
