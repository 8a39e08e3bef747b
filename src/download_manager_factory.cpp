#include "src/download_manager_interface.h"

#include "src/download_manager.h"
#include "src/net_service.h"

namespace kx2dll {

// `register_client` builds the download manager of the running service's
// game id for the launcher's path.
download_manager_factory default_download_manager_factory()
{
    return [](const std::string& launcher_path) -> std::unique_ptr<download_manager_interface> {
        NetService* service = NetService::instance();
        const auto game_id = static_cast<std::uint32_t>(service ? service->game_id() : 0);
        return std::make_unique<download_manager>(launcher_path, game_id);
    };
}

} // namespace kx2dll
