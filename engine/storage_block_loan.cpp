#include "engine/storage_block_loan.h"

#include "engine/storage_manager.h"

StorageBlockLoan::StorageBlockLoan(std::shared_ptr<std::atomic<CStorageManager*>> manager,
                                   std::shared_ptr<CChannelStorageManager> store, const BlockLease& lease)
    : m_manager(std::move(manager)), m_store(std::move(store)), m_lease(lease)
{
}

StorageBlockLoan::~StorageBlockLoan()
{
    if (m_committed >= m_lease.blocks)
        return;
    if (CStorageManager* manager = m_manager->load())
        manager->EndLoan(*m_store, m_lease.piece, m_lease.first_block + m_committed, m_lease.blocks - m_committed);
}

bool StorageBlockLoan::commit()
{
    if (m_committed >= m_lease.blocks)
        return false;
    const std::uint32_t block = m_lease.first_block + m_committed++;
    CStorageManager* manager = m_manager->load();
    return manager && manager->CommitLent(*m_store, m_lease.piece, block, m_lease.resets);
}
