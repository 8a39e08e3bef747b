// What a download task needs of the manager that owns it: the session's
// managers, the event sink, this client's own record, the listen port and
// the CIS servers. CDownload_Manager implements it; the task keeps only
// this pointer and reads the managers through it on every use.
#pragma once

#include "discovery/peer_info.h"

#include <cstdint>
#include <vector>

class ICmdEvent;
class IChannelManager;
class IStorageManager;
class IHostCacheManager;
class INatManager;

class IDownloadTaskOwner {
public:
    virtual ~IDownloadTaskOwner() = default;

    // The engine event sink; null until the session has given one.
    virtual ICmdEvent* GetCmdEvent() = 0;
    // The session's managers (null when the session has none of that kind).
    virtual IChannelManager* GetChannelManager() = 0;
    virtual IStorageManager* GetStorageManager() = 0;
    virtual IHostCacheManager* GetHostCacheManager() = 0;
    virtual INatManager* GetNatManager() = 0;
    // This client's own 149-byte record, a copy: a logon that succeeds
    // after the session began offline replaces it.
    virtual PeerInfo GetSelfPeerInfo() = 0;
    // The port this client listens on for peers.
    virtual std::uint16_t GetListenPort() = 0;
    // The CIS servers of the logon (empty offline); a copy, replaced with
    // the record above.
    virtual std::vector<CisAddress> GetCisList() = 0;
};
