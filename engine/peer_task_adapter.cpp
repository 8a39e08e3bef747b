// The peer connection's view of a running download task: the task itself
// and the session managers its owner holds.
#include "net/conn/peer_task.h"

#include "discovery/nat_manager.h"
#include "net/conn/peer_connection.h"
#include "engine/cmd_event.h"
#include "engine/download_task.h"
#include "engine/task_connections.h"
#include "engine/i_host_cache_manager.h"
#include "engine/i_storage_manager.h"
#include "engine/task_connections.h"

namespace {

class task_peer_adapter : public i_peer_task {
public:
    explicit task_peer_adapter(CDownload_Task* task) : m_task(task) {}

    std::uint64_t task_id() override { return m_task->GetTaskId(); }
    i_io_service* io_service() override { return m_task->GetIoService(); }
    std::uint32_t piece_size() override { return m_task->GetPieceSize(); }
    CBlockRequestMap* piece_picker() override { return m_task->GetPiecePicker(); }
    PeerInfo self_peer_info() override { return m_task->GetSelfPeerInfo(); }
    std::uint16_t listen_port() override
    {
        IDownloadTaskOwner* owner = m_task->GetOwner();
        return owner ? owner->GetListenPort() : 0;
    }

    void get_bitmap(std::vector<std::uint8_t>& bitmap) override
    {
        bitmap.clear();
        if (IStorageManager* storage = storage_manager())
            storage->GetBitmap(task_id(), bitmap);
    }
    BlockRead read_block(BlockRequest& block, PieceReadHandler ready, BlockFile* file) override
    {
        IStorageManager* storage = storage_manager();
        return storage ? storage->ReadBlockAsync(task_id(), block, std::move(ready), file) : BlockRead::kRefused;
    }
    bool write_block(const BlockRequest& block) override
    {
        IStorageManager* storage = storage_manager();
        return storage && storage->WriteBlock(task_id(), block);
    }
    std::shared_ptr<zeq::i_block_loan> lend_block(const BlockRequest& block) override
    {
        IStorageManager* storage = storage_manager();
        return storage ? storage->LendBlocks(task_id(), block.piece, block.offset, 1) : nullptr;
    }

    int parent_peers(std::vector<PeerInfo>& out) override
    {
        out.clear();
        INatManager* nat = nat_manager();
        return nat ? nat->GetParentPeers(task_id(), out) : 0;
    }
    void add_parent_peer(const PeerInfo& peer) override
    {
        if (INatManager* nat = nat_manager())
            nat->AddParentPeer(task_id(), peer);
    }
    int son_peers(std::vector<PeerInfo>& out) override
    {
        out.clear();
        INatManager* nat = nat_manager();
        return nat ? nat->GetSonPeers(task_id(), out) : 0;
    }
    void add_son_peer(const PeerInfo& peer) override
    {
        if (INatManager* nat = nat_manager())
            nat->AddSonPeer(task_id(), peer);
    }
    void add_hosts(const std::vector<HostRecord>& hosts) override
    {
        IDownloadTaskOwner* owner = m_task->GetOwner();
        if (IHostCacheManager* cache = owner ? owner->GetHostCacheManager() : nullptr)
            cache->AddHosts(task_id(), hosts);
    }

    void remove_connection(int socket) override { m_task->RemoveConnection(socket); }
    void count_download(std::uint8_t peer_type, std::uint32_t bytes) override
    {
        m_task->AddDownloadedBlockByPeerType(peer_type);
        if (peer_type == PEERTYPE_DIRECT)
            m_task->AddPeerType2DownloadBytes(bytes);
        else
            m_task->AddPeerDownloadBytes(bytes);
    }
    void count_upload(std::uint8_t peer_type) override { m_task->AddUploadedBlockByPeerType(peer_type); }
    bool take_upload_turn(int socket, std::uint32_t bytes) override
    {
        CTaskConnections* set = m_task->GetConnections();
        return !set || set->TakeUploadTurn(socket, bytes);
    }
    void add_release_request() override { m_task->AddReleaseRequest(); }
    void block_supplied(std::int32_t piece, const PeerInfo& peer) override { m_task->NoteBlockSupplier(piece, peer); }
    void peer_late(const PeerInfo& peer) override { m_task->NotePeerLate(peer); }
    bool may_ask(const PeerInfo& peer) override { return !m_task->IsPeerBarred(peer); }
    // Any other connection of the task (a peer or an HTTP source) may take
    // the requests over.
    bool has_other_source(const PeerInfo&) override
    {
        const CTaskConnections* connections = m_task->GetConnections();
        return connections && connections->GetCount() > 1;
    }
    void blocks_returned() override { m_task->WakeCdnThread(); }

    bool events_enabled() override { return m_task->GetCmdEvent() != nullptr; }
    void error_output(const std::string& text) override
    {
        if (ICmdEvent* event = m_task->GetCmdEvent())
            event->OnErrorOutput(text.c_str());
    }
    void text_output(const std::string& text) override
    {
        if (ICmdEvent* event = m_task->GetCmdEvent())
            event->OnTextOutput(text.c_str());
    }

private:
    IStorageManager* storage_manager()
    {
        IDownloadTaskOwner* owner = m_task->GetOwner();
        return owner ? owner->GetStorageManager() : nullptr;
    }
    INatManager* nat_manager()
    {
        IDownloadTaskOwner* owner = m_task->GetOwner();
        return owner ? owner->GetNatManager() : nullptr;
    }

    CDownload_Task* m_task;
};

}   // namespace

std::unique_ptr<i_peer_task> make_peer_task(CDownload_Task* task)
{
    return std::make_unique<task_peer_adapter>(task);
}

// The engine's ways in: a peer connection over a running task.
CPeerConnection::CPeerConnection(CDownload_Task* task, const PeerInfo& peer, std::uint8_t passive)
    : CPeerConnection(make_peer_task(task), peer, passive)
{
}

x_connection* CreatePeerConnection(CDownload_Task* task, const PeerInfo& peer, std::uint8_t passive)
{
    return task ? new CPeerConnection(task, peer, passive) : nullptr;
}
