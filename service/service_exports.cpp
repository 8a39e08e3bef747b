#include "service/service_exports.h"

#include <exception>
#include <string>

#include "fagex/fagexException.h"
#include "fagex/fagexStringConverter.h"
#include "platform/named_event.h"
#include "service/net_service.h"
#include "service/service_guard.h"
#include "service/service_log.h"
#include "service/system_info.h"

namespace {

thread_local int t_start_result = VR_START_NONE;

}   // namespace

extern "C" int startServiceResult(void)
{
    return t_start_result;
}

extern "C" void startService(void*, void*, const char* command_line, int)
{
    t_start_result = VR_START_FAILED;
    const std::string text = command_line != nullptr ? command_line : "";
    if (!fagex::StringConverter::isNumber(text)) {
        kx2dll::write_service_log("startService - 'lpCmdLine' is not number!");
        t_start_result = VR_START_NOT_A_NUMBER;
        return;
    }
    const int game_id = fagex::StringConverter::parseInt(text);
    const std::string name = kx2dll::service_event_name(game_id);

    platform::NamedEvent event;
    bool already_running = false;
    if (!event.create(name, already_running)) {
        kx2dll::write_service_log("startService - cannot create the event " + name + "!");
        return;
    }
    if (already_running) {
        kx2dll::write_service_log("startService - dll is running!");
        event.close();
        t_start_result = VR_START_ALREADY_RUNNING;
        return;
    }
    kx2dll::open_service_log();
    if (kx2dll::run_service_guarded([game_id] {
            NetService service(game_id);
            service.Run();
        }))
        t_start_result = VR_START_STOPPED;
    NetService::ReleaseLogManager();
    event.close();
}

bool kx2dll::run_service_guarded(const std::function<void()>& body)
{
    try {
        body();
        return true;
    } catch (const fagex::Exception& e) {
        kx2dll::write_service_log("An exception has occured : " + e.getFullDescription() + "\n" +
                                  "GetLastError() : " + kx2dll::get_last_error_text() + "\n");
    } catch (...) {
        kx2dll::write_service_log("An unkown exception has occured!");
    }
    return false;
}

extern "C" void shutdownService(void*, void*, const char* command_line, int)
{
    const std::string text = command_line != nullptr ? command_line : "";
    if (!fagex::StringConverter::isNumber(text))
        return;
    // Sets the event only when a live service of that game id holds it.
    platform::NamedEvent::signal(kx2dll::service_event_name(fagex::StringConverter::parseInt(text)));
}
