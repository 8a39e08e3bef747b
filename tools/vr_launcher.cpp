// Launcher client: sends one `p2spcmd` command to the running service over
// XML-RPC (127.0.0.1) and prints the decoded reply.
//
//   vr_launcher [--game ID] [--port N] [--version V] TYPE [FIELD=VALUE ...]
//   vr_launcher [--game ID] [--port N] system.listMethods
//   vr_launcher [--game ID] [--port N] system.methodHelp METHOD
//   vr_launcher --help | --version
//
// Without --port the port comes from the service's information file
// ("velmar_gameID.ini" in the data folder), as a launcher finds it. The
// fields "version" and "gameid" are filled in unless given as FIELD=VALUE.
//
// Exit codes: 0 the service answered the command with return='0', 1 bad
// arguments, 2 no port or no answer, 3 an XML-RPC fault, 4 the service
// refused the command (a reply with any other return code; the reply's
// error element says why).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <flxmlrpc/XmlRpc.h>

#include "foundation/base64.h"
#include "platform/paths.h"
#include "service/data_folder.h"
#include "service/net_service.h"
#include "service/service_version.h"
#include "service/system_info.h"

namespace {

int usage(FILE* out = stderr, int code = 1)
{
    std::fprintf(out, "usage: vr_launcher [--game ID] [--port N] [--version V] TYPE [FIELD=VALUE ...]\n"
                      "       vr_launcher [--game ID] [--port N] system.listMethods\n"
                      "       vr_launcher [--game ID] [--port N] system.methodHelp METHOD\n"
                      "       vr_launcher --help | --version\n"
                      "sends one p2spcmd command to the service of game ID (default 1) on 127.0.0.1 and\n"
                      "prints the decoded reply; --version V sets the request's version field\n");
    return code;
}

std::string xml_escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '\'':
            out += "&apos;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// The port written in the information file of the game id, 0 when unknown.
int port_from_info_file(int game_id)
{
    const std::string name = kx2dll::service_info_file_name(game_id);
    for (const std::string& folder : {kx2dll::get_data_folder(), kx2dll::get_system_directory()}) {
        std::string text;
        if (folder.empty() || !platform::read_file(platform::join_path(folder, name), text, 4096))
            continue;
        const std::size_t at = text.find("port=");
        if (at != std::string::npos)
            return std::atoi(text.c_str() + at + 5);
    }
    return 0;
}

}   // namespace

int main(int argc, char** argv)
{
    int game_id = 1;
    int port = 0;
    std::string version = "1";
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("vr_launcher %s\n", kx2dll::service_version());
        return 0;
    }
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--game" || arg == "--port" || arg == "--version") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--game")
                game_id = std::atoi(value.c_str());
            else if (arg == "--port")
                port = std::atoi(value.c_str());
            else
                version = value;
        } else if (arg == "--help" || arg == "-h") {
            return usage(stdout, 0);
        } else if (arg.rfind("--", 0) == 0) {
            // An option it does not know is no command for the service.
            return usage();
        } else {
            break;
        }
    }
    if (i >= argc)
        return usage();
    const std::string type = argv[i++];
    if (port == 0)
        port = port_from_info_file(game_id);
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "vr_launcher: no port for game %d (is the service running?)\n", game_id);
        return 2;
    }

    XmlRpc::XmlRpcValue params;
    const bool system_call = type.rfind("system.", 0) == 0;
    if (system_call) {
        for (int k = 0; i < argc; ++i, ++k)
            params[k] = std::string(argv[i]);
    } else {
        std::vector<std::pair<std::string, std::string>> fields;
        bool has_version = false;
        bool has_game = false;
        for (; i < argc; ++i) {
            const std::string arg = argv[i];
            const std::size_t eq = arg.find('=');
            if (eq == std::string::npos || eq == 0)
                return usage();
            fields.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
            has_version |= fields.back().first == "version";
            has_game |= fields.back().first == "gameid";
        }
        if (!has_game)
            fields.insert(fields.begin(), {"gameid", std::to_string(game_id)});
        if (!has_version)
            fields.insert(fields.begin(), {"version", version});
        std::string request = "<p2spcmd type='" + xml_escape(type) + "'>";
        for (const auto& field : fields)
            request += "<" + field.first + ">" + xml_escape(field.second) + "</" + field.first + ">";
        request += "</p2spcmd>";
        params[0] = base64_encode(request);
    }

    XmlRpc::XmlRpcClient client("127.0.0.1", port);
    XmlRpc::XmlRpcValue result;
    const char* method = system_call ? type.c_str() : "ServiceInterface";
    if (!client.execute(method, params, result, 10.0)) {
        std::fprintf(stderr, "vr_launcher: no answer from 127.0.0.1:%d\n", port);
        return 2;
    }
    if (client.isFault()) {
        std::fprintf(stderr, "vr_launcher: fault: %s\n", result.toXml().c_str());
        return 3;
    }
    if (result.getType() != XmlRpc::XmlRpcValue::TypeString) {
        std::printf("%s\n", result.toXml().c_str());
        return 0;
    }
    const std::string& text = result;
    std::string decoded;
    // The error reply to an unreadable request comes back in clear text.
    if (!system_call && base64_decode(text, decoded)) {
        std::fputs(decoded.c_str(), stdout);
    } else {
        std::printf("%s\n", text.c_str());
        decoded = text;
    }
    // A script tells a refused command by the exit code alone.
    return system_call || decoded.find(" return='0'") != std::string::npos ? 0 : 4;
}
