#include "service/service_interface.h"

#include <exception>

#include <flxmlrpc/XmlRpcServer.h>

#include "fagex/fagexException.h"
#include "fagex/fagexStringConverter.h"
#include "foundation/base64.h"
#include "service/launcher_error.h"
#include "service/launcher_request.h"
#include "service/net_service.h"
#include "service/service_log.h"

namespace kx2dll {

ServiceInterface::ServiceInterface(XmlRpc::XmlRpcServer* server, int game_id, download_manager_factory factory)
    : XmlRpc::XmlRpcServerMethod("ServiceInterface", server)   // registers with the server
      ,
      m_game_id(game_id),
      m_factory(std::move(factory))
{
    m_commands["getsetting"] = &ServiceInterface::handle_getsetting;
    m_commands["get_task_info"] = &ServiceInterface::handle_get_task_info;
    m_commands["register_client"] = &ServiceInterface::handle_register_client;
    m_commands["set_task"] = &ServiceInterface::handle_set_task;
    m_commands["setting"] = &ServiceInterface::handle_setting;
    m_commands["start_download_file"] = &ServiceInterface::handle_start_download_file;
    m_commands["start_download_packet"] = &ServiceInterface::handle_start_download_packet;
    m_commands["stop_download_file"] = &ServiceInterface::handle_stop_download_file;
    m_commands["unregister_client"] = &ServiceInterface::handle_unregister_client;
    m_commands["enable_auto_download"] = &ServiceInterface::handle_enable_auto_download;
    NetService::LogLine("create ServiceInterface ...");
}

ServiceInterface::~ServiceInterface()
{
    m_manager.reset();
    NetService::LogLine("~ServiceInterface() ...");
}

void ServiceInterface::execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result)
{
    // A missing argument reads as an empty string; an argument of another
    // type throws, and the library answers with a fault.
    const std::string& argument = params[0];
    const std::string request = base64_decode(argument);
    NetService::LogLine("recv request packet : " + log_excerpt(request));

    launcher_request parsed;
    const char* failure = nullptr;
    const char* reason = nullptr;
    switch (parsed.parse(request)) {
    case launcher_request::status::empty:
        failure = "recv request xml length is 0!";
        reason = "empty request";
        break;
    case launcher_request::status::malformed:
        failure = "recv request xml parse error!";
        reason = "the request is not well-formed XML";
        break;
    case launcher_request::status::no_root:
        failure = "recv request xml parse error : not find 'p2spcmd'!";
        reason = "the request has no root element";
        break;
    case launcher_request::status::no_type:
        failure = "recv request xml parse error : not find 'type' Attribute!";
        reason = "the request has no 'type' attribute";
        break;
    case launcher_request::status::ok:
        break;
    }
    if (failure != nullptr) {
        // A request that cannot be read is answered in clear text.
        set_string_result(result, make_error_reply(reason));
        log_error(failure);
        return;
    }

    const auto command = m_commands.find(parsed.type());
    if (command == m_commands.end()) {
        set_string_result(result,
                          base64_encode(make_error_reply("unknown command '" + log_excerpt(parsed.type()) + "'")));
        log_error("recv request xml parse error : not find function '" + log_excerpt(parsed.type()) + "'");
        return;
    }
    std::string reply;
    try {
        (this->*(command->second))(request, reply);
    } catch (const fagex::Exception& e) {
        // Nothing a command throws may reach the library: the network thread
        // would end with it.
        log_error(parsed.type() + " failed : " + e.getFullDescription());
        reply = make_error_reply(parsed.type() + " failed: " + e.getDescription());
    } catch (const std::exception& e) {
        log_error(parsed.type() + " failed : " + e.what());
        reply = make_error_reply(parsed.type() + " failed: " + e.what());
    }
    NetService::LogLine(reply);
    set_string_result(result, base64_encode(reply));
}

bool ServiceInterface::may_wait(XmlRpc::XmlRpcValue& params)
{
    if (params.getType() != XmlRpc::XmlRpcValue::TypeArray || params.size() < 1 ||
        params[0].getType() != XmlRpc::XmlRpcValue::TypeString)
        return false;
    const std::string& argument = params[0];
    launcher_request parsed;
    if (parsed.parse(base64_decode(argument)) != launcher_request::status::ok)
        return false;
    const std::string& type = parsed.type();
    return type == "register_client" || type == "start_download_file" || type == "start_download_packet";
}

std::string ServiceInterface::help()
{
    return "ServiceInterface help";
}

std::string ServiceInterface::make_reply(const std::string& type, int return_code, int version, int game_id,
                                         const std::string& file_md5, const std::string& result,
                                         const std::string& error)
{
    std::string reply;
    reply.reserve(160 + type.size() + file_md5.size() + result.size() + error.size());
    reply += "<p2spcmd type='" + type + "' return='" + std::to_string(return_code) + "'>\r\n";
    reply += "<version>" + std::to_string(version) + "</version>\r\n";
    reply += "<gameid>" + std::to_string(game_id) + "</gameid>\r\n";
    reply += "<file_md5>" + file_md5 + "</file_md5>\r\n";
    reply += "<result type='string'>" + result + "</result>\r\n";
    reply += "<error>" + error + "</error>\r\n";
    reply += "</p2spcmd>\r\n";
    return reply;
}

std::string ServiceInterface::make_error_reply(const std::string& reason)
{
    return make_reply("null", -1, 0, 0, "", "", error_text(reason));
}

std::string ServiceInterface::success_reply(const std::string& type, int version, const std::string& file_md5,
                                            const std::string& result) const
{
    // The launcher's own text comes back: escaped as it was sent.
    return make_reply(type, 0, version, m_game_id, reply_text(file_md5), result, "");
}

void set_string_result(XmlRpc::XmlRpcValue& result, const std::string& text)
{
    result = XmlRpc::XmlRpcValue(text);
}

}   // namespace kx2dll
