// The process-wide client id: the u64 the RIS logon assigns to this
// installation (for an offline session a random one, its high half all
// ones). Log records and uploads carry it.
#pragma once

#include <cstdint>

// The current client id, 0 before any logon. Safe from any thread.
std::uint64_t GetProcessClientId();

// Sets the client id (the logon thread and the offline session do).
void SetProcessClientId(std::uint64_t client_id);
