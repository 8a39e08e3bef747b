// How a download task makes its transfer connections and dials its HTTP
// peers: the peer connection, the HTTP CDN connection and the HTTP dial of
// net/conn by default; tests and tools replace any of them. A maker that
// is null makes nothing: the task then closes the socket it was handed, or
// dials nothing.
#pragma once

#include "discovery/peer_info.h"

#include <cstdint>

class CDownload_Task;
class x_connection;

struct TaskConnectionMakers {
    // A peer-protocol connection for a socket connected to `peer` (passive:
    // wait for the remote handshake). The connection carries the one
    // reference that the connection set takes over.
    x_connection* (*peer)(CDownload_Task* task, const PeerInfo& peer, std::uint8_t passive) = nullptr;
    // A ranged-HTTP connection for a socket connected to the type-4 `peer`.
    x_connection* (*http_cdn)(CDownload_Task* task, const PeerInfo& peer, std::uint8_t passive) = nullptr;
    // Starts a non-blocking TCP connect to an HTTP peer at `port` and
    // returns the socket (possibly still connecting); -1 when it failed.
    int (*connect_http)(PeerInfo& peer, std::uint16_t port) = nullptr;
};

// Installs the makers for every task of the process (fields left null stay
// unavailable).
void SetTaskConnectionMakers(const TaskConnectionMakers& makers);
// The makers in use.
TaskConnectionMakers GetTaskConnectionMakers();
// The built-in makers (peer connection, HTTP CDN connection and dial).
TaskConnectionMakers DefaultTaskConnectionMakers();
