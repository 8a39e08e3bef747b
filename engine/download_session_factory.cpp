// The session's factory functions: the real managers under a new session.
#include "engine/download_session.h"

#include "discovery/nat_manager.h"
#include "engine/i_channel_manager.h"
#include "engine/i_download_manager.h"
#include "engine/i_host_cache_manager.h"
#include "engine/i_storage_manager.h"
#include "report/log_event.h"

#include <new>

namespace {

void DestroyDefaultManagers(SessionManagers& m)
{
    DestroyNatManager(m.nat);
    LogEvent(39, "LOG::LOG_SYS_BEING_EXIT_33", 0, 0, "");
    DestroyDownloadManager(m.download);
    // Storage's disk work (the tasks' last bitmap saves among it) writes
    // through the channel manager: it is done before that goes.
    if (m.storage)
        m.storage->Drain();
    LogEvent(40, "LOG::LOG_SYS_BEING_EXIT_34", 0, 0, "");
    DestroyHostCacheManager(m.host_cache);
    LogEvent(41, "LOG::LOG_SYS_BEING_EXIT_35", 0, 0, "");
    DestroyChannelManager(m.channel);
    LogEvent(42, "LOG::LOG_SYS_BEING_EXIT_36", 0, 0, "");
    DestroyStorageManager(m.storage);
    m = SessionManagers();
}

}   // namespace

IDownload_Session* CreateDownloadSession(const PeerInfo& self, const std::vector<CisAddress>& cis_list,
                                         const std::string& data_folder)
{
    SessionManagers managers;
    managers.channel = CreateChannelManager(data_folder);
    managers.storage = CreateStorageManager(managers.channel);
    managers.host_cache = CreateHostCacheManager();
    managers.nat = CreateNatManager();
    managers.download = CreateDownloadManager(self, cis_list, managers.channel, managers.storage, managers.host_cache,
                                              managers.nat);
    managers.destroy = &DestroyDefaultManagers;
    auto* session = new (std::nothrow) CDownload_Session(managers);
    if (!session)
        DestroyDefaultManagers(managers);
    return session;
}

void DestroyDownloadSession(IDownload_Session* session)
{
    delete session;
}
