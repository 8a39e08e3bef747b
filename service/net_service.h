// The service object: the launcher's XML-RPC server on its network thread,
// the stop signal (the named event of the game id) and the service log.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/named_event.h"
#include "platform/thread.h"
#include "service/download_manager_interface.h"

namespace kx2dll {
class ServiceInterface;
class launcher_rpc_server;
}   // namespace kx2dll

class NetService {
public:
    // Builds the server and the launcher method for the game id and opens the
    // named event of that id. Throws fagex::Exception when the event cannot
    // be opened (nothing could ever stop the service then).
    explicit NetService(int game_id,
                        kx2dll::download_manager_factory factory = kx2dll::default_download_manager_factory());
    // Deletes the launcher method (and with it the download manager) and the
    // server.
    ~NetService();

    NetService(const NetService&) = delete;
    NetService& operator=(const NetService&) = delete;

    // Starts the network thread, blocks until the named event is signalled,
    // then stops the thread. Returns 0.
    int Run();
    // Stops the network thread: it closes the server and ends within 3000 ms
    // unless a launcher command is still running, which it then waits for.
    void Stop();
    // One line to the service log and to the debugger output, while the
    // logging switch is on.
    void Log(const std::string& message, int level = 2);

    // The service the handlers and the download manager log through; null
    // when none runs.
    static NetService* Instance();
    // Logs through the running service; does nothing when none runs.
    static void LogLine(const std::string& message, int level = 2);
    // An error line: written to the service log whatever the logging switch
    // says (the switch quiets the request trace, never a failure).
    static void LogErrorLine(const std::string& message);
    // Deletes the log manager with its logs (closing the service log) when no
    // service is left to write to it.
    static void ReleaseLogManager();

    int GameId() const { return m_game_id; }
    // The listening port once the network thread has bound one, else 0.
    std::uint16_t Port() const { return m_bound_port.load(); }
    // The logging switch (on after construction; the download manager sets
    // its configured value).
    void SetLogging(bool on) { m_logging.store(on); }
    bool Logging() const { return m_logging.load(); }
    // Exit code of the network thread: -1 while running or never started,
    // 0 after its dispatch loop, 1 when no port could be bound.
    int NetworkExitCode() const { return m_exit_code.load(); }

    // Body of the network thread.
    friend unsigned NetServiceThreadProc(NetService* service);

private:
    // One line to the service log and the debugger output.
    void Write(const std::string& message, int level);

    const int m_game_id;
    std::uint16_t m_port = 8000;                  // probing state of the network thread
    std::atomic<std::uint16_t> m_bound_port{0};   // published once bound
    std::unique_ptr<kx2dll::launcher_rpc_server> m_server;
    std::unique_ptr<kx2dll::ServiceInterface> m_interface;
    std::atomic<bool> m_logging{true};
    platform::NamedEvent m_event;
    platform::Thread m_thread;
    std::atomic<bool> m_stop{false};   // tells the network thread to leave its loop
    std::atomic<int> m_exit_code{-1};
};

// Network thread: binds 127.0.0.1 on 8000 + game id (16-bit), probing upward
// to 9001, writes the information file and serves launcher calls until
// stopped. 0 after the loop, 1 when no port binds.
unsigned NetServiceThreadProc(NetService* service);

namespace kx2dll {

// Name of the named event of a game id.
std::string service_event_name(int game_id);

// Name of the service information file of a game id ("velmar_game<id>.ini").
std::string service_info_file_name(int game_id);

// Bytes of the information file for a port: "[server info]", "port=<port>"
// and "ip=127.0.0.1" with the line ends the launcher has always read.
std::string service_info_file_text(std::uint16_t port);

}   // namespace kx2dll
