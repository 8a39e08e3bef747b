#include "service/service_version.h"

namespace kx2dll {

const char* service_version()
{
    return VR_DOWNLOAD_VERSION;
}

}   // namespace kx2dll
