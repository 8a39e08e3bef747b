// The version of the service (the project's version), as the service log's
// first line and the tools' --version print it.
#pragma once

namespace kx2dll {

const char* service_version();

}   // namespace kx2dll
