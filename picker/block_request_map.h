// CBlockRequestMap: the piece picker of one task. It decides which blocks
// each transfer connection asks for: peer connections get the rarest
// pieces first, finishing started pieces before opening new ones; HTTP and
// CDN connections get long runs of consecutive untouched pieces. A block
// handed out is not handed out again until it is cancelled or its piece is
// reset, except in the end game: once no block is free, a peer connection
// short of work may also take a few blocks other connections are still
// fetching, and so may the origin (blocks only peers were asked for);
// whichever copy arrives first counts, and the slower connection drops
// its copy.
#pragma once

#include "picker/block_request.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

class CBlockRequestMap {
public:
    // Request state of one block.
    enum : std::uint8_t { kFree = 0, kRequested = 1, kReceived = 2 };

    // Builds the picker over the piece store's tables, which must outlive
    // it: the block-received table (a block received already starts as
    // received), the piece bitmap (1 = verified, read live) and the piece
    // lengths. Pieces equally rare are taken in an order drawn from
    // `tie_seed`, so that peers fetching the same task at once hold
    // different pieces they can trade (a random seed by default; 0 keeps
    // them in file order).
    CBlockRequestMap(const std::vector<std::vector<std::uint8_t>>& received, const std::vector<std::uint8_t>& bitmap,
                     const std::vector<std::uint32_t>& piece_lengths, std::uint32_t tie_seed = RandomSeed());
    CBlockRequestMap(const CBlockRequestMap&) = delete;
    CBlockRequestMap& operator=(const CBlockRequestMap&) = delete;

    // Adds free blocks of the pieces the peer has (`peer_pieces[i]` != 0)
    // to `queue` until it holds `target` requests: rarest pieces first,
    // pieces already started before untouched ones; from a peer holding
    // every piece, started pieces only while none is rarer. Pieces no connected
    // peer announced are not offered. When no block of any missing piece is
    // free and the connection holds fewer than kEndGameBlocks (`queue` plus
    // `in_flight`), it is topped up to that many with blocks of the peer's
    // pieces other connections requested first (the oldest requests first),
    // never one it holds already. Returns true when the peer had no free
    // block left to give (whether or not end-game copies were handed out).
    bool GetRequestBlocksForPeer(const std::vector<std::uint8_t>& peer_pieces, BlockRequestQueue& queue,
                                 std::size_t target, const BlockRequestQueue* in_flight = nullptr);
    static constexpr std::size_t kEndGameBlocks = 4;

    // Empties `queue` and fills it with a run for an HTTP or CDN
    // connection. Alone (no peer connected or expected): up to a byte budget
    // of 256 KB..3 MB of untouched pieces no connected peer holds, starting
    // at the first of them in this task's random order and running on over
    // untouched neighbours no peer holds; when every untouched piece is
    // held by some peer, a quarter of the budget from the least held one;
    // when no piece is untouched, the first run of free blocks of the least
    // held started piece. In a swarm (a co-downloader connected, or peers
    // expected): only pieces no connected co-downloader holds (what only
    // seeds hold included), one share (about 1 MiB of whole pieces) at a
    // time and nothing while two shares are being fetched; this client's
    // own shares first, in their order, then another's from the end of its
    // order (see AddPeer). In either mode, once no block of a missing piece is
    // free, the first run of blocks only peers were asked for, of the piece
    // asked for longest ago (in a swarm only of pieces no co-downloader
    // holds, or asked for kStalledMs ago): a peer that drips or stalls on
    // the last blocks does not hold the task up.
    void GetContinuousBlocks(BlockRequestQueue& queue);
    static constexpr std::uint32_t kStalledMs = 500;

    // Co-downloaders split the origin's work without a word about it: each
    // share (a stretch of about 1 MiB of pieces) belongs to the member
    // (this client and the connected peers, by client id) whose hash of
    // it is highest, and every member fetches its own shares in the order
    // of that hash, highest first; one that has none left helps with
    // another's that its owner would come to only after the runs it may
    // have under way (helpers spread by their own hashes). A peer joins
    // once per connection, once it is seen holding a piece this client
    // lacks (a crowd holding nothing does not cut the origin's work into
    // shares for members that never fetch it), and leaves with it.
    void AddPeer(std::uint64_t client_id);
    void RemovePeer(std::uint64_t client_id);
    // A connected peer holding every piece (once per connection): it fetches
    // nothing from the origin, so it takes no share, makes no swarm and what
    // only seeds hold is still the origin's to send.
    void AddSeed();
    void RemoveSeed();
    // Some piece `peer_pieces` marks held is not verified here.
    bool HoldsMissing(const std::vector<std::uint8_t>& peer_pieces) const;
    // This client's own id (0: unknown; its shares are then all pieces, in
    // this task's random order).
    void SetSelfId(std::uint64_t client_id);
    // The task asked the index servers for peers and has not heard that
    // there are none: for kExpectPeersMs, or until one connects, HTTP runs
    // are kept few, as in a swarm.
    void SetPeersExpected(bool expected);
    static constexpr std::uint32_t kExpectPeersMs = 10000;
    // Another source may take this piece's blocks: alone, any; in a swarm
    // only what a connected co-downloader holds (what only seeds or no peer
    // hold would only be fetched from the origin again, or from a seed that
    // may be slow).
    bool OthersCanServe(std::int32_t piece) const;

    // One connection gives up a requested block: it becomes free again once
    // no connection holds it any more; any other state is kept.
    void CancelRequest(std::int32_t piece, std::int32_t offset);
    // A requested block becomes received; any other state is kept, so a
    // second copy of a block is not counted again.
    void MarkReceived(std::int32_t piece, std::int32_t offset);
    // Every block of the piece becomes free (after a failed check).
    void ResetPiece(std::int32_t piece);

    // One more / one fewer connected peer holds the piece (not below 0).
    void IncPieceAvailability(std::int32_t piece);
    void DecPieceAvailability(std::int32_t piece);

    // True when every piece of the bitmap is verified.
    bool IsDownloadComplete() const;

    // While paused nothing more is handed out (storage cannot keep what
    // would arrive, the disk being full say); blocks already handed out
    // stay with their connections.
    void SetPaused(bool paused) { m_paused.store(paused); }
    bool IsPaused() const { return m_paused.load(); }

    // Test and diagnostics views.
    std::uint32_t PieceCount() const { return std::uint32_t(m_states.size()); }
    std::uint8_t BlockState(std::int32_t piece, std::int32_t block) const;
    std::uint32_t Availability(std::int32_t piece) const;
    std::size_t CoDownloaders() const;
    std::uint32_t Seeds() const;

    // HTTP byte budget for a channel of `pieces` pieces.
    static std::uint32_t ContinuousBudget(std::size_t pieces);
    static std::uint32_t RandomSeed();

private:
    bool ValidBlock(std::int32_t piece, std::int32_t offset, std::uint32_t& block) const;
    bool PieceVerified(std::size_t piece) const;
    void SetBlockState(std::size_t piece, std::size_t block, std::uint8_t state);
    void SyncPiece(std::size_t piece);
    bool PieceUntouched(std::size_t piece) const;
    // Missing and untouched, once blocks storage gave up are free again.
    bool UntouchedNow(std::size_t piece);
    bool Rarer(std::uint32_t a, std::uint32_t b) const;
    // m_rank's key of a piece: its availability, then its tie rank.
    std::uint64_t RankKey(std::size_t piece) const;
    void ChangeAvailability(std::size_t piece, bool up);
    // Puts verified pieces that storage has failed since back in the rank.
    void UnparkFailed();
    // Tops `queue` up from the started pieces held by at most `ceiling`
    // connected peers, rarest first; true when that reaches `target`.
    bool PushFromStarted(const std::vector<std::uint8_t>& peer_pieces, BlockRequestQueue& queue, std::size_t target,
                         std::uint32_t ceiling);
    // A verified piece met in m_rank at `it` leaves it (parked); `it`
    // then points past it.
    bool ParkVerified(std::set<std::uint64_t>::iterator& it);
    // Fewest connected holders of a missing piece with a free block.
    std::uint32_t RarestWanted();
    // Bytes of pieces origin runs took that are still being fetched.
    std::uint64_t HttpBytesInFlight();
    // An HTTP run when no piece is untouched; in a swarm only of pieces no
    // connected peer holds.
    void PushFromStartedForHttp(BlockRequestQueue& queue, bool unheld_only);
    // Connected co-downloaders holding the piece (seeds left out).
    std::uint32_t PeerHeld(std::size_t piece) const;
    // The origin's end-game run (see GetContinuousBlocks).
    void PushEndGameForHttp(BlockRequestQueue& queue, bool swarm);
    // True when no block of a missing piece is free.
    bool NothingFree() const;
    // GetContinuousBlocks in a swarm.
    void PushSwarmRun(BlockRequestQueue& queue);
    // Puts a piece in m_http_pieces.
    void ListHttpPiece(std::size_t piece);
    // Recomputes m_share_score and m_share_owner after the members changed.
    void ScoreShares();
    // Peers are about: connected, or expected a while yet.
    bool Swarm() const;
    bool PushFreeBlocks(std::size_t piece, BlockRequestQueue& queue, std::size_t target);
    // `origin`: for an HTTP or CDN run.
    void PushBlock(std::size_t piece, std::uint32_t block, BlockRequestQueue& queue, bool origin = false);
    void PushEndGame(const std::vector<std::uint8_t>& peer_pieces, BlockRequestQueue& queue,
                     const BlockRequestQueue* in_flight);
    // Table sizes; with VR_EXPENSIVE_CHECKS also every piece's free count
    // and that exactly the requested blocks have holders.
    void check_invariant() const;

    const std::vector<std::vector<std::uint8_t>>& m_received;   // the store's block-received table
    const std::vector<std::uint8_t>& m_bitmap;                  // the store's piece bitmap, read live
    const std::vector<std::uint32_t>& m_lengths;                // the store's piece lengths
    std::vector<std::vector<std::uint8_t>> m_states;            // per piece, per block: kFree..kReceived
    std::vector<std::uint32_t> m_free;                          // per piece: blocks in kFree
    std::vector<std::vector<std::uint8_t>> m_holders;           // per piece, per block: connections asking it
    std::vector<std::vector<std::uint32_t>> m_asked_at;         // per piece, per block: when first requested
    std::uint32_t m_asked_seq = 0;                              // request clock for m_asked_at
    std::vector<std::vector<std::uint32_t>> m_asked_tick;       // per piece, per block: tick of the first request
    std::vector<std::vector<std::uint8_t>> m_origin;            // per piece, per block: an origin run asked it
    std::uint32_t m_seeds = 0;                                  // connected seeds (AddSeed)
    std::vector<std::uint32_t> m_availability;                  // per piece: connected peers holding it
    std::vector<std::uint32_t> m_http_pieces;                   // pieces origin runs took, maybe done since
    std::vector<std::uint8_t> m_http_listed;                    // per piece: in m_http_pieces
    bool m_peers_expected = false;                              // SetPeersExpected
    std::uint32_t m_expected_until = 0;                         // tick the expectation ends
    std::uint64_t m_share_bytes = 0;                            // bytes of the longest piece x m_share_pieces
    std::vector<std::uint64_t> m_members;                       // client ids of connected peers (AddPeer)
    std::uint64_t m_self_id = 0;                                // SetSelfId
    std::size_t m_share_pieces = 1;                             // pieces in one share
    bool m_scored = false;                                      // m_share_score is up to date
    std::vector<std::uint64_t> m_share_score;                   // per share: the highest member hash
    std::vector<std::uint64_t> m_share_owner;                   // per share: the member with that hash
    std::uint32_t m_idle_since = 0;                             // tick since nothing but owners' last shares were left
    std::vector<std::uint32_t> m_tie_rank;                      // per piece: its place among equally rare ones
    std::vector<std::uint32_t> m_by_tie_rank;                   // tie rank -> piece
    // Every piece some connected peer holds, rarest first (RankKey), but
    // those found verified: kept up to date as availability changes, so
    // opening a piece walks only the head of it.
    std::set<std::uint64_t> m_rank;
    std::vector<std::uint8_t> m_parked;         // per piece: left out of m_rank as verified
    std::vector<std::uint32_t> m_parked_list;   // the pieces with m_parked set
    std::vector<std::uint32_t> m_order;         // scratch: candidate pieces of one pick
    // Every piece with a block not free (started), and maybe some that
    // are verified or untouched again: dropped when next looked at.
    std::vector<std::uint32_t> m_started;
    std::vector<std::uint8_t> m_listed;   // per piece: in m_started
    mutable std::mutex m_lock;            // connections and the CDN thread call in at once
    std::atomic<bool> m_paused{false};
};
