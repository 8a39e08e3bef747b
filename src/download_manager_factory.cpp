#include "src/download_manager_interface.h"

namespace kx2dll {

// No download manager is linked in yet: `register_client` finds no factory
// and every command that needs the manager answers the error reply.
download_manager_factory default_download_manager_factory()
{
    return {};
}

} // namespace kx2dll
