#include "engine/storage_manager.h"

#include "platform/debug_output.h"

CStorageManager::Guard::Guard(CStorageManager& m) : m_m(m)
{
    m_m.m_lock.Lock();
    ++m_m.m_depth;
}

CStorageManager::Guard::~Guard()
{
    std::vector<Event> events;
    IStorageManagerEvent* sink = nullptr;
    if (--m_m.m_depth == 0 && !m_m.m_events.empty()) {
        events.swap(m_m.m_events);
        sink = m_m.m_sink;
    }
    m_m.m_lock.Unlock();
    if (!events.empty() && sink)
        raise(sink, events);
}

void CStorageManager::raise(IStorageManagerEvent* sink, std::vector<Event>& events)
{
    for (Event& e : events) {
        switch (e.kind) {
        case Event::kReady:
            sink->OnChannelStorageReady(e.channel_id, e.store->Bitmap(), e.store->Received(),
                                        e.store->PieceLengths());
            break;
        case Event::kChecked:
            sink->OnPieceChecked(e.channel_id, e.value, e.result);
            break;
        case Event::kCounter:
            for (std::uint32_t i = 0; i < e.value; ++i)
                sink->IncTaskStorageCounter(e.channel_id);
            break;
        case Event::kError:
            sink->OnStorageError(e.channel_id, e.text.c_str());
            break;
        }
    }
}

CStorageManager::CStorageManager(IChannelManager* channels) : m_channels(channels)
{
    if (m_channels)
        m_channels->SetOwner(this);
}

CStorageManager::~CStorageManager()
{
    CScopedLock lock(m_lock);
    m_stores.clear();
    m_events.clear();
}

CChannelStorageManager* CStorageManager::find(std::uint64_t channel_id)
{
    auto it = m_stores.find(channel_id);
    return it == m_stores.end() ? nullptr : it->second.get();
}

void CStorageManager::QueueStorageCounter(std::uint64_t channel_id, std::uint32_t blocks)
{
    Event e{Event::kCounter, channel_id, blocks, 0, nullptr, std::string()};
    m_events.push_back(std::move(e));
}

void CStorageManager::UnqueueStorageCounter(std::uint64_t channel_id, std::uint32_t blocks)
{
    if (!m_events.empty() && m_events.back().kind == Event::kCounter && m_events.back().channel_id == channel_id &&
        m_events.back().value == blocks)
        m_events.pop_back();
}

void CStorageManager::QueueStorageError(std::uint64_t channel_id, const std::string& text)
{
    platform::debug_output("CStorageManager: " + text + "\n");
    Event e{Event::kError, channel_id, 0, 0, nullptr, text};
    m_events.push_back(std::move(e));
}

void CStorageManager::OnChannelAdded(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                                     const std::vector<std::vector<std::uint8_t>>& blocks,
                                     const std::vector<std::uint32_t>& piece_lengths)
{
    Guard g(*this);
    if (m_stores.count(channel_id))
        return;
    auto store = std::make_shared<CChannelStorageManager>(channel_id, this);
    const std::size_t queued = m_events.size();
    if (!store->SaveBitmap(bitmap, blocks, piece_lengths)) {
        // Counter events queued for the refused tables go with it.
        m_events.erase(m_events.begin() + std::ptrdiff_t(queued), m_events.end());
        QueueStorageError(channel_id, "the piece tables of task " + std::to_string(channel_id) +
                                          " do not agree with each other; no storage was made for it");
        return;
    }
    m_stores.emplace(channel_id, store);
    Event e{Event::kReady, channel_id, 0, 0, store, std::string()};
    m_events.push_back(std::move(e));
}

void CStorageManager::SetPiece(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result)
{
    Guard g(*this);
    CChannelStorageManager* store = find(channel_id);
    if (!store || piece >= store->PieceLengths().size())
        return;
    store->SetPiece(piece, result);
    Event e{Event::kChecked, channel_id, piece, result, nullptr, std::string()};
    m_events.push_back(std::move(e));
}

void CStorageManager::SetEvent(IStorageManagerEvent* sink)
{
    CScopedLock lock(m_lock);
    m_sink = sink;
}

bool CStorageManager::GetBitmap(std::uint64_t channel_id, std::vector<std::uint8_t>& bitmap)
{
    Guard g(*this);
    bitmap.clear();
    CChannelStorageManager* store = find(channel_id);
    if (!store)
        return false;
    bitmap = store->Bitmap();
    return true;
}

bool CStorageManager::ReadBlock(std::uint64_t channel_id, BlockRequest& req)
{
    Guard g(*this);
    CChannelStorageManager* store = find(channel_id);
    return store && store->ReadBlock(req);
}

bool CStorageManager::GetChannelStoreData(std::uint64_t channel_id, std::vector<std::vector<std::uint8_t>>& blocks)
{
    Guard g(*this);
    blocks.clear();
    CChannelStorageManager* store = find(channel_id);
    if (!store)
        return false;
    blocks = store->Stored();
    return true;
}

bool CStorageManager::WriteBlock(std::uint64_t channel_id, const BlockRequest& req)
{
    Guard g(*this);
    CChannelStorageManager* store = find(channel_id);
    return store && store->WriteBlock(req);
}

void CStorageManager::RemoveChannel(std::uint64_t channel_id)
{
    Guard g(*this);
    m_stores.erase(channel_id);
}

void CStorageManager::SetCmdEvent(ICmdEvent* event)
{
    // Storage reports to the download manager only.
    if (event == nullptr)
        m_cmd_event = event;
}

IStorageManager* CreateStorageManager(IChannelManager* channels)
{
    return new CStorageManager(channels);
}

void DestroyStorageManager(IStorageManager* manager)
{
    delete manager;
}
