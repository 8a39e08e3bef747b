// Server addresses from the environment, defaulting to the local machine.
#include "service/server_addresses.h"

#include <cstdlib>

namespace kx2dll {
namespace {

std::string env_or(const char* name, const std::string& fallback)
{
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}

// "host[:port]" split; the port text is empty when none is given.
void split_host_port(const std::string& address, std::string& host, std::string& port)
{
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos) {
        host = address;
        port.clear();
    } else {
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    }
}

std::string host_of(const char* variable)
{
    std::string host;
    std::string port;
    split_host_port(env_or(variable, "127.0.0.1"), host, port);
    return host.empty() ? "127.0.0.1" : host;
}

std::string port_of(const char* variable, const char* fallback)
{
    std::string host;
    std::string port;
    split_host_port(env_or(variable, "127.0.0.1"), host, port);
    return port.empty() ? fallback : port;
}

}   // namespace

std::string update_server()
{
    return env_or("VR_UPDATE_SERVER", "127.0.0.1");
}
std::string task_server()
{
    return env_or("VR_TASK_SERVER", "127.0.0.1");
}
std::string md5task_server()
{
    return env_or("VR_MD5TASK_SERVER", task_server());
}
std::string fallback_task_server()
{
    return env_or("VR_FALLBACK_TASK_SERVER", "127.0.0.1");
}

std::string cdn_query_by_id_url()
{
    std::string v = env_or("VR_CDN_QUERY_URL", "127.0.0.1");
    // A whole prefix is taken as it is; a host gets the query path.
    if (v.find('/') != std::string::npos)
        return v;
    return "http://" + v + "/cdnquery.php?taskid=";
}

std::string cdn_query_by_md5_url()
{
    std::string v = cdn_query_by_id_url();
    const std::string key = "taskid=";
    const std::size_t at = v.rfind(key);
    if (at != std::string::npos && at + key.size() == v.size())
        return v.substr(0, at) + "md5=";
    return v;
}

std::string ris_south_host()
{
    return host_of("VR_RIS_SOUTH");
}
std::string ris_south_port()
{
    return port_of("VR_RIS_SOUTH", "3334");
}
std::string ris_north_host()
{
    return host_of("VR_RIS_NORTH");
}
std::string ris_north_port()
{
    return port_of("VR_RIS_NORTH", "3334");
}
std::string log_server_ip()
{
    return host_of("VR_LOG_SERVER");
}
std::string log_server_port()
{
    return port_of("VR_LOG_SERVER", "80");
}

}   // namespace kx2dll
