#include "service/net_service.h"

#include <mutex>

#include <flxmlrpc/XmlRpc.h>

#include "fagex/fagexException.h"
#include "fagex/fagexLogManager.h"
#include "fagex/fagexStringConverter.h"
#include "platform/debug_output.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "service/data_folder.h"
#include "service/launcher_rpc_server.h"
#include "service/service_interface.h"
#include "service/service_log.h"
#include "service/system_info.h"

namespace {

std::mutex g_services_mutex;        // guards the two values below
NetService* g_instance = nullptr;   // the service handlers log through
int g_live_services = 0;            // services sharing the log manager

// Step of the network thread's dispatch loop: how soon it sees a stop.
constexpr std::uint32_t serve_slice_ms = 200;
// How long Stop waits for the network thread before it reports a command
// that is still running.
constexpr std::uint32_t stop_wait_ms = 3000;

// The library's trace and error lines go where the original's went: to the
// debugger output.
class rpc_trace_handler : public XmlRpc::XmlRpcLogHandler, public XmlRpc::XmlRpcErrorHandler {
public:
    void log(int, const char* msg) override { write(msg); }
    void error(const char* msg) override { write(msg); }

private:
    static void write(const char* msg)
    {
        if (platform::debug_output_enabled())
            platform::debug_output(std::string("XmlRpc: ") + msg + "\n");
    }
};

void install_rpc_trace()
{
    static rpc_trace_handler handler;
    static std::once_flag once;
    std::call_once(once, [] {
        XmlRpc::XmlRpcLogHandler::setLogHandler(&handler);
        XmlRpc::XmlRpcErrorHandler::setErrorHandler(&handler);
    });
}

// The data folder, else the system folder (made when missing), with a
// separator at its end.
std::string service_folder()
{
    std::string folder = kx2dll::get_data_folder();
    if (folder.empty() || !platform::folder_exists(folder)) {
        folder = kx2dll::get_system_directory();
        platform::create_folder(folder);
    }
    if (!folder.empty() && folder.back() != platform::path_separator)
        folder += platform::path_separator;
    return folder;
}

// Writes the information file the launcher reads the port from; its path.
std::string write_info_file(int game_id, std::uint16_t port)
{
    const std::string folder = service_folder();
    // A launcher reading while the service starts sees the old file or the
    // new one, never half of it. A failure is not fatal: the port probing
    // order still lets a launcher find the service.
    std::string path = folder + kx2dll::service_info_file_name(game_id);
    platform::write_file_atomically(path, kx2dll::service_info_file_text(port));
    return path;
}

}   // namespace

namespace kx2dll {

std::string service_event_name(int game_id)
{
    return "EVENT_P2SP_DOWNLOAD_DLL_EXISTS" + fagex::StringConverter::toString(game_id);
}

std::string service_info_file_name(int game_id)
{
    return "velmar_game" + fagex::StringConverter::toString(game_id) + ".ini";
}

std::string service_info_file_text(std::uint16_t port)
{
    // The original wrote "\r\n" after the section line through a text-mode
    // stream that turned every "\n" into "\r\n"; launchers read exactly that.
    return "[server info]\r\r\nport=" + std::to_string(port) + "\r\nip=127.0.0.1\r\n";
}

}   // namespace kx2dll

NetService::NetService(int game_id, kx2dll::download_manager_factory factory) : m_game_id(game_id)
{
    const std::string event_name = kx2dll::service_event_name(game_id);
    if (!m_event.open(event_name))
        FAGEX_EXCEPT(fagex::Exception::ERR_INTERNAL_ERROR, "cannot open the named event " + event_name,
                     "NetService::NetService");
    {
        std::lock_guard<std::mutex> lock(g_services_mutex);
        g_instance = this;
        ++g_live_services;
    }
    Log("game id [" + fagex::StringConverter::toString(game_id) + "] running ...");
    const std::string module = platform::module_dir();
    if (!platform::folder_writable(module)) {
        const std::string folder = service_folder();
        platform::set_log_dir_fallback(folder);
        Write("log files go to " + folder + ": the module's folder " + module + " cannot be written", 2);
    }
    m_server = std::make_unique<kx2dll::launcher_rpc_server>();
    m_interface = std::make_unique<kx2dll::ServiceInterface>(m_server.get(), game_id, std::move(factory));
    m_server->set_wait_test([](const std::string& method, XmlRpc::XmlRpcValue& params) {
        return method == "ServiceInterface" && kx2dll::ServiceInterface::may_wait(params);
    });
}

NetService::~NetService()
{
    Stop();
    // The launcher method goes first: it owns the download manager, whose
    // threads may still log through this object.
    m_interface.reset();
    m_server.reset();
    m_event.close();
    std::lock_guard<std::mutex> lock(g_services_mutex);
    if (g_instance == this)
        g_instance = nullptr;
    --g_live_services;
}

void NetService::ReleaseLogManager()
{
    std::lock_guard<std::mutex> lock(g_services_mutex);
    if (g_live_services == 0)
        kx2dll::close_service_log();
}

int NetService::Run()
{
    m_stop.store(false);
    if (!m_thread.start([this] { m_exit_code.store(static_cast<int>(NetServiceThreadProc(this))); }, "net_service"))
        Log("NetService::Run - the network thread cannot be started");
    while (!m_event.wait(1000)) {
        if (!m_event.is_open())
            platform::sleep_ms(1000);   // nothing can signal us; do not spin
    }
    Stop();
    m_event.close();
    return 0;
}

void NetService::Stop()
{
    if (!m_thread.joinable())
        return;
    m_stop.store(true);
    if (!m_thread.join_for(stop_wait_ms)) {
        // A launcher command is still running on the thread; it is never
        // cut off, since it holds what the rest of the shutdown frees.
        Log("NetService::Stop - waiting for the running command to end");
        m_thread.join();
    }
}

void NetService::Log(const std::string& message, int level)
{
    if (m_logging.load())
        Write(message, level);
}

void NetService::Write(const std::string& message, int level)
{
    if (fagex::LogManager* manager = fagex::LogManager::getSingletonPtr())
        manager->logMessage(message, level);
    // A long message (a whole task list) is not copied only to be dropped.
    if (platform::debug_output_enabled())
        platform::debug_output(message + "\n");
}

NetService* NetService::Instance()
{
    std::lock_guard<std::mutex> lock(g_services_mutex);
    return g_instance;
}

void NetService::LogLine(const std::string& message, int level)
{
    if (NetService* service = Instance())
        service->Log(message, level);
}

void NetService::LogErrorLine(const std::string& message)
{
    if (NetService* service = Instance())
        service->Write(message, 2);
}

unsigned NetServiceThreadProc(NetService* service)
{
    service->m_port = static_cast<std::uint16_t>(service->m_port + service->m_game_id);
    install_rpc_trace();
    XmlRpc::setVerbosity(5);
    while (!service->m_server->bind_loopback(service->m_port)) {
        if (service->m_port > 9000)
            return 1;
        ++service->m_port;
    }
    service->m_bound_port.store(service->m_port);
    const std::string info_file = write_info_file(service->m_game_id, service->m_port);
    kx2dll::write_service_log("service listen port is " + std::to_string(service->m_port) + " ...");
    service->m_server->enableIntrospection(true);
    while (!service->m_stop.load())
        service->m_server->serve_for(serve_slice_ms);
    service->m_server->close_all();
    // A launcher must not take the last run's port for a running service.
    platform::delete_file(info_file);
    kx2dll::write_service_log("NetServiceThreadProc exit ...");
    return 0;
}
