// PieceBuffer: the bytes of one piece being assembled, held in units of at
// most kUnit bytes that are made when their first block comes (and, for a
// big piece, let go once they are on their way to the file and hashed). A
// piece of 32 MiB fetched by a few connections so costs a few units each,
// not its whole length.
//
// The units are owned under the storage lock (Make, Share, Release); the
// hash workers only read bytes below the ready mark of the piece's hash,
// through At, whose units are published before that mark moves and let go
// only once the hash has passed them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The bytes of one unit; large ones straight from the system (see
// platform::allocate_pages), so that a download's units do not leave the
// heap holding its peak. Whole units freed are kept for the next ones (up
// to kKeptBytes for the whole process, whichever thread frees or takes
// them): a unit made afresh costs a mapping, a page fault per page with
// its zero-fill, and at its end an unmapping that interrupts every core
// the process runs on.
class PieceUnit {
public:
    static constexpr std::size_t kKeptBytes = std::size_t(16) << 20;
    // Frees the units kept (a download ended).
    static void ReleaseKept();
    // Bytes of the units kept now.
    static std::size_t KeptBytes();

    PieceUnit() = default;
    explicit PieceUnit(std::size_t size);
    ~PieceUnit();
    PieceUnit(PieceUnit&& other) noexcept;
    PieceUnit& operator=(PieceUnit&& other) noexcept;
    PieceUnit(const PieceUnit&) = delete;
    PieceUnit& operator=(const PieceUnit&) = delete;

    std::uint8_t* data() { return m_data; }
    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    void Free();

    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    bool m_pages = false;   // from allocate_pages, else new[]
};

class PieceBuffer {
public:
    using Unit = PieceUnit;
    static constexpr std::uint32_t kUnit = 256u << 10;

    explicit PieceBuffer(std::uint32_t length);
    PieceBuffer(const PieceBuffer&) = delete;
    PieceBuffer& operator=(const PieceBuffer&) = delete;

    std::uint32_t Length() const { return m_length; }
    std::size_t Units() const { return m_units.size(); }
    static std::size_t UnitOf(std::uint32_t offset) { return offset / kUnit; }
    std::uint32_t UnitStart(std::size_t unit) const { return std::uint32_t(unit) * kUnit; }
    std::uint32_t UnitEnd(std::size_t unit) const;

    // Storage lock: the unit holding `offset`, made (from `spare` when it
    // has the unit's size, else from a kept one when there is one) when it
    // is not there yet. Returns the byte at `offset`.
    std::uint8_t* Make(std::uint32_t offset, std::shared_ptr<Unit>* spare = nullptr);
    // Storage lock: a share of the unit, for a write job; null if absent.
    std::shared_ptr<Unit> Share(std::size_t unit) const;
    // Storage lock: lets go of the unit; its bytes are kept for the next
    // unit once no write job holds them either.
    void Release(std::size_t unit);
    bool Has(std::size_t unit) const { return m_units[unit] != nullptr; }
    // Bytes of the units held.
    std::size_t HeldBytes() const { return m_held; }

    // Any thread, for bytes whose unit is held: the byte at `offset`; the
    // bytes up to UnitEnd(UnitOf(offset)) follow it.
    const std::uint8_t* At(std::uint32_t offset) const;

private:
    std::uint32_t m_length;
    std::vector<std::shared_ptr<Unit>> m_units;             // storage lock
    std::unique_ptr<std::atomic<std::uint8_t*>[]> m_data;   // each unit's bytes, for readers
    std::size_t m_held = 0;
};
