// The ten launcher commands of "ServiceInterface".
#include "service/service_interface.h"

#include "fagex/fagexException.h"
#include "fagex/fagexStringConverter.h"
#include "fagex/fagexStringUtil.h"
#include "service/launcher_error.h"
#include "service/launcher_request.h"
#include "service/net_service.h"
#include "service/service_log.h"
#include "service/system_info.h"

namespace kx2dll {
namespace {

// "<name>value</name>\r\n" per entry, names in ascending byte order. Values
// are escaped: a folder name may hold "&" or "<".
std::string value_list(const value_map& values)
{
    std::string text;
    for (const auto& entry : values)
        text += "<" + entry.first + ">" + reply_text(entry.second) + "</" + entry.first + ">\r\n";
    return text;
}

// Priority level of "highlevel": an element without text asks for level 1.
int priority_level(const std::string& text)
{
    return text.empty() ? 1 : fagex::StringConverter::parseInt(text);
}

// The checks every command makes: a parsed request for this service's game.
bool accepted(launcher_request& in, const std::string& request, int game_id)
{
    take_failure_reason(std::string());   // nothing an earlier call left may stand for this one
    return in.parse(request) == launcher_request::status::ok && in.read_common(game_id);
}

// The error reply with the reason, which the service log gets as well.
int fail(std::string& reply, const launcher_request& in, std::string reason)
{
    if (reason.empty())
        reason = "the request cannot be read";
    log_error("command '" + log_excerpt(in.type()) + "' refused: " + reason);
    reply = ServiceInterface::make_error_reply(reason);
    return -1;
}

const char* const no_manager = "no download manager: register_client first";

}   // namespace

int ServiceInterface::handle_getsetting(const std::string& request, std::string& reply)
{
    launcher_request in;
    if (!accepted(in, request, m_game_id))
        return fail(reply, in, in.error());
    if (!m_manager)
        return fail(reply, in, no_manager);
    value_map settings;
    if (!m_manager->get_settings(settings))
        return fail(reply, in, take_failure_reason("the settings cannot be read"));
    reply = success_reply(in.type(), in.version(), "", value_list(settings));
    return 0;
}

int ServiceInterface::handle_get_task_info(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string file_md5;
    if (!accepted(in, request, m_game_id) || !in.field("file_md5", file_md5))
        return fail(reply, in, in.error());
    if (!m_manager)
        return fail(reply, in, no_manager);
    value_map info;
    if (!m_manager->get_task_info(m_game_id, file_md5, info))
        return fail(reply, in, take_failure_reason("no download '" + file_md5 + "' was started"));
    // The launcher has always received an empty "file_md5" here; the error
    // element says why a download does not move (its files cannot be
    // written, its seed cannot be fetched).
    const std::string problem = m_manager->task_problem(m_game_id, file_md5);
    reply = make_reply(in.type(), 0, in.version(), m_game_id, "", value_list(info), reply_text(problem));
    return 0;
}

bool ServiceInterface::build_manager(const std::string& path, std::string& failure)
{
    std::unique_lock<std::mutex> building(m_build_lock);
    // A second register_client waits for the build under way instead of
    // starting an engine of its own; the build itself (blocking server
    // calls, the engine's start) runs with the lock let go.
    m_build_done.wait(building, [this] { return !m_building; });
    if (m_manager)
        return true;
    // A manager that cannot be built is a failure the launcher must see,
    // not a "Register Client OK".
    if (!m_factory) {
        failure = "no download manager is available";
        return false;
    }
    m_building = true;
    building.unlock();
    std::unique_ptr<download_manager_interface> made;
    try {
        made = m_factory(path, static_cast<std::uint32_t>(m_game_id));
    } catch (const fagex::Exception& e) {
        log_error("register_client - " + e.getFullDescription());
        failure = "the download manager cannot be built: " + e.getDescription();
    } catch (const std::exception& e) {
        failure = std::string("the download manager cannot be built: ") + e.what();
    } catch (...) {
        building.lock();
        m_building = false;
        m_build_done.notify_all();
        throw;
    }
    building.lock();
    m_building = false;
    if (made)
        m_manager = std::move(made);
    else if (failure.empty())
        failure = "the download manager cannot be built";
    m_build_done.notify_all();
    return failure.empty();
}

int ServiceInterface::handle_register_client(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string path;
    if (!accepted(in, request, m_game_id) || !in.field("path", path))
        return fail(reply, in, in.error());
    fagex::StringUtil::trim(path, true, true);
    if (path.empty())
        path = get_system_directory();
    std::string failure;
    if (!build_manager(path, failure))
        return fail(reply, in, failure);
    reply = success_reply(in.type(), in.version(), "", "Register Client OK");
    return 0;
}

int ServiceInterface::handle_set_task(const std::string&, std::string&)
{
    // The launcher sends it and has always received an empty string.
    return 0;
}

int ServiceInterface::handle_setting(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string item_name;
    std::string value;
    if (!accepted(in, request, m_game_id) || !in.field("item_name", item_name) || !in.field("value", value))
        return fail(reply, in, in.error());
    if (!m_manager)
        return fail(reply, in, no_manager);
    // A refused name or value leaves the setting as it was.
    if (!m_manager->set_setting(item_name, value))
        return fail(reply, in, take_failure_reason("setting '" + item_name + "' refused"));
    reply = success_reply(in.type(), in.version(), "", "Setting OK");
    return 0;
}

int ServiceInterface::handle_start_download_file(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string filename;
    std::string file_md5;
    std::string highlevel;
    if (!accepted(in, request, m_game_id) || !in.field("filename", filename) || !in.field("file_md5", file_md5) ||
        !in.field("highlevel", highlevel))
        return fail(reply, in, in.error());
    if (!m_manager)
        return fail(reply, in, no_manager);
    if (!m_manager->start_download_file(m_game_id, file_md5, priority_level(highlevel)))
        return fail(reply, in, take_failure_reason("no task holds file_md5 '" + file_md5 + "'"));
    reply = success_reply(in.type(), in.version(), file_md5, "Start Download File");
    return 0;
}

int ServiceInterface::handle_start_download_packet(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string old_version;
    std::string new_version;
    std::string highlevel;
    if (!accepted(in, request, m_game_id) || !in.field("old_version", old_version) ||
        !in.field("new_version", new_version) || !in.field("highlevel", highlevel))
        return fail(reply, in, in.error());
    if (!m_manager)
        return fail(reply, in, no_manager);
    std::string packet_key;
    if (!m_manager->start_download_packet(m_game_id, old_version, new_version, packet_key, priority_level(highlevel)))
        return fail(reply, in,
                    take_failure_reason("no update packets lead from version " + old_version + " to " + new_version));
    reply = success_reply(in.type(), in.version(), packet_key, "Start Download Packet OK");
    return 0;
}

int ServiceInterface::handle_stop_download_file(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string file_md5;
    if (!accepted(in, request, m_game_id) || !in.field("file_md5", file_md5))
        return fail(reply, in, in.error());
    if (!m_manager)
        return fail(reply, in, no_manager);
    if (!m_manager->stop_download_file(m_game_id, file_md5))
        return fail(reply, in, take_failure_reason("no download '" + file_md5 + "' was started"));
    reply = success_reply(in.type(), in.version(), file_md5, "Stop Download File OK");
    return 0;
}

int ServiceInterface::handle_unregister_client(const std::string& request, std::string& reply)
{
    launcher_request in;
    if (!accepted(in, request, m_game_id))
        return fail(reply, in, in.error());
    // The download manager stays until the service shuts down.
    reply = success_reply(in.type(), in.version(), "", "Unregister Client OK");
    return 0;
}

int ServiceInterface::handle_enable_auto_download(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string value;
    if (!accepted(in, request, m_game_id) || !in.field("enable_auto_value", value))
        return fail(reply, in, in.error());
    if (!m_manager)
        return fail(reply, in, no_manager);
    // Only the number 1 turns it on.
    m_manager->set_auto_download(fagex::StringConverter::parseInt(value) == 1);
    reply = success_reply(in.type(), in.version(), "", "enable auto download OK");
    return 0;
}

}   // namespace kx2dll
