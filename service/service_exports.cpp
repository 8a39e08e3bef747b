#include "service/service_exports.h"

#include <exception>
#include <string>

#include "fagex/fagexException.h"
#include "fagex/fagexStringConverter.h"
#include "platform/named_event.h"
#include "service/net_service.h"
#include "service/service_log.h"
#include "service/system_info.h"

extern "C" void startService(void*, void*, const char* command_line, int)
{
    const std::string text = command_line != nullptr ? command_line : "";
    if (!fagex::StringConverter::isNumber(text)) {
        kx2dll::write_service_log("startService - 'lpCmdLine' is not number!");
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
        return;
    }
    kx2dll::open_service_log();
    kx2dll::run_service_guarded([game_id] {
        NetService service(game_id);
        service.Run();
    });
    NetService::ReleaseLogManager();
    event.close();
}

void kx2dll::run_service_guarded(const std::function<void()>& body)
{
    try {
        body();
    } catch (const fagex::Exception& e) {
        kx2dll::write_service_log("An exception has occured : " + e.getFullDescription() + "\n" +
                                  "GetLastError() : " + kx2dll::get_last_error_text() + "\n");
    } catch (...) {
        kx2dll::write_service_log("An unkown exception has occured!");
    }
}

extern "C" void shutdownService(void*, void*, const char* command_line, int)
{
    const std::string text = command_line != nullptr ? command_line : "";
    if (!fagex::StringConverter::isNumber(text))
        return;
    // Sets the event only when a live service of that game id holds it.
    platform::NamedEvent::signal(kx2dll::service_event_name(fagex::StringConverter::parseInt(text)));
}
