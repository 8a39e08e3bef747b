// StorageBlockLoan: blocks of a write-cache entry lent to a receive
// (CStorageManager::LendBlocks). It owns a share of the channel's store, so
// the entry's buffer lives as long as the loan whatever happens to the
// channel, and the entry stays in the cache while a block is lent. Commits
// and the final give-up take the storage lock.
#pragma once

#include "engine/channel_storage_manager.h"
#include "net/conn/block_loan.h"

#include <atomic>
#include <cstdint>
#include <memory>

class CStorageManager;

class StorageBlockLoan final : public zeq::i_block_loan {
public:
    StorageBlockLoan(std::shared_ptr<std::atomic<CStorageManager*>> manager,
                     std::shared_ptr<CChannelStorageManager> store, const BlockLease& lease);
    // Gives up the blocks not committed.
    ~StorageBlockLoan() override;
    StorageBlockLoan(const StorageBlockLoan&) = delete;
    StorageBlockLoan& operator=(const StorageBlockLoan&) = delete;

    std::uint8_t* data() override { return m_lease.data; }
    std::uint32_t size() const override { return m_lease.bytes; }
    std::uint32_t blocks() const override { return m_lease.blocks; }
    bool commit() override;

private:
    std::shared_ptr<std::atomic<CStorageManager*>> m_manager;   // null once the manager is going
    std::shared_ptr<CChannelStorageManager> m_store;
    BlockLease m_lease;
    std::uint32_t m_committed = 0;   // blocks committed (or dropped), from the first on
};
