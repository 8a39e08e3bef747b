// The launcher's one XML-RPC method, "ServiceInterface": a Base64-encoded
// `p2spcmd` document in, the handler's Base64-encoded reply document out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <flxmlrpc/XmlRpcServerMethod.h>
#include <flxmlrpc/XmlRpcValue.h>

#include "service/download_manager_interface.h"

namespace XmlRpc {
class XmlRpcServer;
}

namespace kx2dll {

// The download manager once built: published by `register_client` (on a
// call worker), read by every call on any thread.
class published_manager {
public:
    explicit operator bool() const { return get() != nullptr; }
    download_manager_interface* operator->() const { return get(); }
    download_manager_interface* get() const { return m_current.load(); }
    // Takes the built manager and publishes it.
    published_manager& operator=(std::unique_ptr<download_manager_interface> manager)
    {
        m_owned = std::move(manager);
        m_current.store(m_owned.get());
        return *this;
    }
    // Deletes the manager; no call may run any more.
    void reset()
    {
        m_current.store(nullptr);
        m_owned.reset();
    }

private:
    std::unique_ptr<download_manager_interface> m_owned;
    std::atomic<download_manager_interface*> m_current{nullptr};
};

class ServiceInterface : public XmlRpc::XmlRpcServerMethod {
public:
    // A command handler: (decoded request, reply to fill) -> 0, or -1 with the
    // error reply in the reply text.
    using handler = int (ServiceInterface::*)(const std::string& request, std::string& reply);

    // Registers "ServiceInterface" with the server for the service of that
    // game id; `register_client` builds the download manager with `factory`.
    ServiceInterface(XmlRpc::XmlRpcServer* server, int game_id,
                     download_manager_factory factory = default_download_manager_factory());
    // Deletes the download manager (shutting its engine down).
    ~ServiceInterface() override;

    ServiceInterface(const ServiceInterface&) = delete;
    ServiceInterface& operator=(const ServiceInterface&) = delete;

    // One call of "ServiceInterface": decodes, dispatches and encodes.
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override;
    // The "system.methodHelp" answer.
    std::string help() override;

    // True for the parameters of a command that may wait for the task
    // server or build the download manager (register and the starts): it
    // runs on a call worker, the others are answered at once.
    static bool may_wait(XmlRpc::XmlRpcValue& params);

    // The seven-line reply document; texts are inserted as they are.
    static std::string make_reply(const std::string& type, int return_code, int version, int game_id,
                                  const std::string& file_md5, const std::string& result, const std::string& error);
    // The error reply every failure answers with: return -1 and the error
    // "params is null", followed by the reason when one is given.
    static std::string make_error_reply(const std::string& reason = std::string());

    // The ten commands.
    int handle_getsetting(const std::string& request, std::string& reply);
    int handle_get_task_info(const std::string& request, std::string& reply);
    int handle_register_client(const std::string& request, std::string& reply);
    int handle_set_task(const std::string& request, std::string& reply);
    int handle_setting(const std::string& request, std::string& reply);
    int handle_start_download_file(const std::string& request, std::string& reply);
    int handle_start_download_packet(const std::string& request, std::string& reply);
    int handle_stop_download_file(const std::string& request, std::string& reply);
    int handle_unregister_client(const std::string& request, std::string& reply);
    int handle_enable_auto_download(const std::string& request, std::string& reply);

    int game_id() const { return m_game_id; }
    // The download manager, null until `register_client` has built one.
    download_manager_interface* manager() const { return m_manager.get(); }

private:
    // Reply of a successful command.
    std::string success_reply(const std::string& type, int version, const std::string& file_md5,
                              const std::string& result) const;

    std::map<std::string, handler> m_commands;
    int m_game_id;
    download_manager_factory m_factory;
    // Builds the manager unless one exists; false with the reason when it cannot.
    bool build_manager(const std::string& path, std::string& failure);

    // Guards m_building; held only to read or flip it, never during a build.
    std::mutex m_build_lock;
    std::condition_variable m_build_done;   // a build under way has ended
    bool m_building = false;                // one register_client builds the manager at a time
    published_manager m_manager;
};

// The result becomes a string value holding the text.
void set_string_result(XmlRpc::XmlRpcValue& result, const std::string& text);

}   // namespace kx2dll
