// The ten launcher commands of "ServiceInterface".
#include "service/service_interface.h"

#include "fagex/fagexException.h"
#include "fagex/fagexStringConverter.h"
#include "fagex/fagexStringUtil.h"
#include "service/launcher_request.h"
#include "service/net_service.h"
#include "service/system_info.h"

namespace kx2dll {
namespace {

// "<name>value</name>\r\n" per entry, names in ascending byte order.
std::string value_list(const value_map& values)
{
    std::string text;
    for (const auto& entry : values)
        text += "<" + entry.first + ">" + entry.second + "</" + entry.first + ">\r\n";
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
    return in.parse(request) == launcher_request::status::ok && in.read_common(game_id);
}

int fail(std::string& reply)
{
    reply = ServiceInterface::make_error_reply();
    return -1;
}

}   // namespace

int ServiceInterface::handle_getsetting(const std::string& request, std::string& reply)
{
    launcher_request in;
    if (!accepted(in, request, m_game_id) || !m_manager)
        return fail(reply);
    value_map settings;
    if (!m_manager->get_settings(settings))
        return fail(reply);
    reply = success_reply(in.type(), in.version(), "", value_list(settings));
    return 0;
}

int ServiceInterface::handle_get_task_info(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string file_md5;
    if (!accepted(in, request, m_game_id) || !in.field("file_md5", file_md5) || !m_manager)
        return fail(reply);
    value_map info;
    if (!m_manager->get_task_info(m_game_id, file_md5, info))
        return fail(reply);
    // The launcher has always received an empty "file_md5" here.
    reply = success_reply(in.type(), in.version(), "", value_list(info));
    return 0;
}

int ServiceInterface::handle_register_client(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string path;
    if (!accepted(in, request, m_game_id) || !in.field("path", path))
        return fail(reply);
    fagex::StringUtil::trim(path, true, true);
    if (path.empty())
        path = get_system_directory();
    std::lock_guard<std::mutex> building(m_build_lock);
    if (!m_manager) {
        // A manager that cannot be built is a failure the launcher must
        // see, not a "Register Client OK".
        if (!m_factory) {
            NetService::LogLine("register_client - no download manager is available");
            return fail(reply);
        }
        try {
            m_manager = m_factory(path, static_cast<std::uint32_t>(m_game_id));
        } catch (const fagex::Exception& e) {
            NetService::LogLine("register_client - " + e.getFullDescription());
            return fail(reply);
        } catch (const std::exception& e) {
            NetService::LogLine(std::string("register_client - ") + e.what());
            return fail(reply);
        }
        if (!m_manager)
            return fail(reply);
    }
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
    if (!accepted(in, request, m_game_id) || !in.field("item_name", item_name) || !in.field("value", value) ||
        !m_manager)
        return fail(reply);
    // The launcher is not told whether the name or value was taken.
    m_manager->set_setting(item_name, value);
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
        !in.field("highlevel", highlevel) || !m_manager)
        return fail(reply);
    if (!m_manager->start_download_file(m_game_id, file_md5, priority_level(highlevel)))
        return fail(reply);
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
        !in.field("new_version", new_version) || !in.field("highlevel", highlevel) || !m_manager)
        return fail(reply);
    std::string packet_key;
    if (!m_manager->start_download_packet(m_game_id, old_version, new_version, packet_key, priority_level(highlevel)))
        return fail(reply);
    reply = success_reply(in.type(), in.version(), packet_key, "Start Download Packet OK");
    return 0;
}

int ServiceInterface::handle_stop_download_file(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string file_md5;
    if (!accepted(in, request, m_game_id) || !in.field("file_md5", file_md5) || !m_manager)
        return fail(reply);
    if (!m_manager->stop_download_file(m_game_id, file_md5))
        return fail(reply);
    reply = success_reply(in.type(), in.version(), file_md5, "Stop Download File OK");
    return 0;
}

int ServiceInterface::handle_unregister_client(const std::string& request, std::string& reply)
{
    launcher_request in;
    if (!accepted(in, request, m_game_id))
        return fail(reply);
    // The download manager stays until the service shuts down.
    reply = success_reply(in.type(), in.version(), "", "Unregister Client OK");
    return 0;
}

int ServiceInterface::handle_enable_auto_download(const std::string& request, std::string& reply)
{
    launcher_request in;
    std::string value;
    if (!accepted(in, request, m_game_id) || !in.field("enable_auto_value", value) || !m_manager)
        return fail(reply);
    // Only the number 1 turns it on.
    m_manager->set_auto_download(fagex::StringConverter::parseInt(value) == 1);
    reply = success_reply(in.type(), in.version(), "", "enable auto download OK");
    return 0;
}

}   // namespace kx2dll
