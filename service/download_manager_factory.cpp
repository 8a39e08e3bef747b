#include "service/download_manager_interface.h"

#include "service/download_manager.h"

namespace kx2dll {

// `register_client` builds the download manager of its own service's game.
download_manager_factory default_download_manager_factory()
{
    return [](const std::string& launcher_path, std::uint32_t game_id) -> std::unique_ptr<download_manager_interface> {
        return std::make_unique<download_manager>(launcher_path, game_id);
    };
}

}   // namespace kx2dll
