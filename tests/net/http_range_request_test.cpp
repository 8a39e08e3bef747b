#include "net/conn/http_range_request.h"

#include "support/client_log_capture.h"
#include "support/fake_range_task.h"
#include "support/shifted_tick.h"

#include <gtest/gtest.h>

#include <cstring>

using test_support::FakeRangeTask;
using zeq::http_range_request;
using zeq::range_client;
using state = zeq::http_range_request::receive_state;

namespace {

constexpr std::uint32_t kPiece = 131072;   // four blocks

std::string Pattern(std::size_t size, unsigned salt = 1)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = char((i * 131 + salt * 7 + (i >> 9)) & 0xFF);
    return s;
}

PeerInfo Peer(std::uint64_t id, const char* host = "cdn.example")
{
    PeerInfo p{};
    p.clientid = id;
    p.peertype = PEERTYPE_HTTP_CDN;
    SetFixedText(p.hostname, host);
    return p;
}

HttpPeerInfo Info(std::uint64_t id, const std::string& host, const std::string& path)
{
    HttpPeerInfo i;
    i.peerid = id;
    i.host = host;
    i.path = path;
    return i;
}

BlockRequestQueue MakeRun(std::int32_t first_piece, std::size_t blocks, std::uint32_t piece_blocks = 4)
{
    BlockRequestQueue run;
    for (std::size_t i = 0; i < blocks; ++i) {
        BlockRequest b;
        b.piece = first_piece + std::int32_t(i / piece_blocks);
        b.offset = std::int32_t((i % piece_blocks) * kBlockSize);
        b.length = std::int32_t(kBlockSize);
        run.push_back(b);
    }
    return run;
}

struct Fixture {
    explicit Fixture(std::vector<FakeRangeTask::File> files = {{"a.bin", Pattern(4 * kPiece + 1000)}})
        : task(nullptr, kPiece, std::move(files))
    {
        task.AddHttpInfo(Info(5, "cdn.example", "/files/a.bin"));
    }
    FakeRangeTask task;
};

}   // namespace

TEST(HttpRangeRequest, RequestTextIsByteForByte)
{
    const std::string text = http_range_request::request_text("/x/a.bin", 2162688, 2195455, "cdn.example");
    EXPECT_EQ(0u, text.find("GET /x/a.bin HTTP/1.1\r\nAccept: image/gif, "));
    EXPECT_NE(std::string::npos, text.find("application/msword, */*\r\nAccept-Language: zh-cn\r\n"
                                           "Accept-Encoding: gzip, deflate\r\nUser-Agent: Mozilla/4.0"));
    EXPECT_NE(std::string::npos, text.find("3.0.4506.2152;.NET CLR 3.5.30729; vrp2spclient)\r\n"));
    EXPECT_NE(std::string::npos, text.find("\r\nCache-Control: no-cache\r\nConnection: close\r\nPragma: no-cache\r\n"
                                           "Range: bytes=2162688-2195455\r\nHost: cdn.example\r\n\r\n"));
    EXPECT_EQ(text.size() - 4, text.find("\r\n\r\n"));
    // A connection that may carry another request asks to be kept.
    EXPECT_NE(std::string::npos,
              http_range_request::request_text("/x/a.bin", 0, 1, "h", true)
                  .find("\r\nCache-Control: no-cache\r\nConnection: keep-alive\r\nPragma: no-cache\r\n"));
    // Big numbers keep their plain digits.
    EXPECT_NE(std::string::npos, http_range_request::request_text("/a", 5000000000ull, 5000032767ull, "h")
                                     .find("Range: bytes=5000000000-5000032767\r\n"));
}

TEST(HttpRangeRequest, FindsTheUrlOfAFile)
{
    struct Case {
        const char* what;
        std::vector<HttpPeerInfo> all;   // the first is the server's own record
        const char* file;                // path inside the task
        bool found;
        const char* url;
    };
    const HttpPeerInfo own = Info(1, "h", "/game/data/file0.bin");
    const Case cases[] = {
        {"own path names the file", {own}, "file0.bin", true, "/game/data/file0.bin"},
        {"one other entry names it", {own, Info(2, "h", "/other/file1.bin")}, "file1.bin", true, "/other/file1.bin"},
        {"of two as long, the one in the source's folder wins",
         {own, Info(2, "h", "/game/dat2/file1.bin"), Info(3, "h", "/game/data/file1.bin")},
         "file1.bin",
         true,
         "/game/data/file1.bin"},
        // Only the first URL of a host and port is the server's record: the
        // other files of the task lie below its folder.
        {"nobody names it", {own}, "file1.bin", true, "/game/data/file1.bin"},
        {"another host names it", {own, Info(2, "other", "/x/file1.bin")}, "file1.bin", true, "/game/data/file1.bin"},
        {"two entries name it",
         {own, Info(2, "h", "/x/file1.bin"), Info(3, "h", "/y/file1.bin")},
         "file1.bin",
         false,
         ""},
        {"path without a slash", {Info(1, "h", "a.bin")}, "a.bin", true, "/a.bin"},
        // Folder trees: the URL must name the file's folders too.
        {"namesake in a sibling folder",
         {Info(1, "h", "/p/data/maps/0/f1.res"), Info(2, "h", "/p/data/maps/1/f1.res")},
         "data/maps/1/f1.res",
         true,
         "/p/data/maps/1/f1.res"},
        {"unnamed file, the source names another of its tree",
         {Info(1, "h", "/p/data/maps/0/a.res")},
         "data/maps/1/f1.res",
         true,
         "/p/data/maps/1/f1.res"},
        {"the folder URL", {Info(1, "h", "/p/")}, "data/maps/1/f1.res", true, "/p/data/maps/1/f1.res"},
        {"escapes, case and query kept",
         {Info(1, "h", "/P/Data/Maps/1/b%20c.res?k=1")},
         "data/maps/1/b c.res",
         true,
         "/P/Data/Maps/1/b%20c.res?k=1"},
        {"a folder named like the file's tail is not it",
         {Info(1, "h", "/p/xmaps/1/f1.res")},
         "maps/1/f1.res",
         true,
         "/p/xmaps/1/maps/1/f1.res"},
        {"another patch's namesake as long",
         {Info(1, "h", "/p1/data/x.res"), Info(2, "h", "/p2/data/m/f.res"), Info(3, "h", "/p1/data/m/f.res")},
         "data/m/f.res",
         true,
         "/p1/data/m/f.res"},
        {"the shortest of two names the task's file",
         {Info(1, "h", "/p/data/a.bin"), Info(2, "h", "/p/a.bin")},
         "a.bin",
         true,
         "/p/a.bin"},
    };
    for (const Case& c : cases) {
        FakeRangeTask task(nullptr, kPiece, {});
        for (const HttpPeerInfo& info : c.all)
            task.AddHttpInfo(info);
        std::string url = "junk";
        EXPECT_EQ(c.found, http_range_request::url_for_file(task, c.all.front(), c.file, url)) << c.what;
        if (c.found) {
            EXPECT_EQ(c.url, url) << c.what;
        }
    }
}

TEST(HttpRangeRequest, BuildComputesPathAndRange)
{
    struct Case {
        const char* info_path;
        const char* file;
        std::int32_t piece;   // global piece of the run's first block
        std::int32_t offset;
        std::size_t blocks;   // run length (consecutive blocks)
        const char* url;
        std::uint64_t start;
        std::uint64_t last;   // the range is closed at the run's last byte
    };
    const Case cases[] = {
        {"files/a.bin", "a.bin", 0, 0, 1, "/files/a.bin", 0, kBlockSize - 1},
        {"/x/a.bin", "a.bin", 2, 65536, 1, "/x/a.bin", 2 * kPiece + 65536, 2 * kPiece + 98303},
        {"/x/a.bin", "a.bin", 1, 65536, 6, "/x/a.bin", kPiece + 65536, 3 * kPiece - 1},
        {"/x/a.bin", "b c#.bin", 5, 32768, 4, "/x/b%20c%23.bin", 0 * kPiece + 32768, kPiece + 32767},
        {"/dl/a.bin", "b c#.bin", 6, 0, 1, "/dl/b%20c%23.bin", 1 * kPiece, kPiece + kBlockSize - 1},
    };
    for (const Case& c : cases) {
        FakeRangeTask task(nullptr, kPiece, {{"a.bin", Pattern(5 * kPiece)}, {"b c#.bin", Pattern(2 * kPiece)}});
        task.AddHttpInfo(Info(9, "h", c.info_path));
        http_range_request exchange(range_client::http_cdn, &task, nullptr);
        BlockRequestQueue run;
        for (std::size_t i = 0; i < c.blocks; ++i) {
            const std::size_t at = std::size_t(c.offset) / kBlockSize + i;
            BlockRequest b;
            b.piece = c.piece + std::int32_t(at / 4);
            b.offset = std::int32_t((at % 4) * kBlockSize);
            b.length = kBlockSize;
            run.push_back(b);
        }
        exchange.set_run(run);
        std::string request;
        ASSERT_EQ(http_range_request::build_ok, exchange.build(Peer(9, "h"), request)) << c.info_path;
        EXPECT_EQ(c.url, exchange.url_path());
        EXPECT_EQ(c.start, exchange.range_start());
        EXPECT_EQ(c.last, exchange.range_last());
        EXPECT_EQ(std::to_string(c.start) + "-" + std::to_string(c.last), exchange.range_text());
        EXPECT_EQ(http_range_request::request_text(c.url, c.start, c.last, "h"), request);
        EXPECT_EQ(c.blocks, exchange.pending_count());
        EXPECT_FALSE(exchange.has_run());
    }
}

TEST(HttpRangeRequest, BuildFailures)
{
    // No HTTP information for the peer.
    {
        Fixture f;
        f.task.SetTextEnabled(true);
        http_range_request exchange(range_client::http_cdn, &f.task, nullptr);
        std::string request;
        EXPECT_EQ(http_range_request::build_no_path, exchange.build(Peer(6), request));
        ASSERT_FALSE(f.task.Texts().empty());
        EXPECT_NE(std::string::npos, f.task.Texts().back().find("ClientID:6,can not find http info"));
        // The run stays queued until the connection gives it back.
        exchange.abort();
        EXPECT_EQ(CBlockRequestMap::kFree, f.task.Picker().BlockState(0, 0));
    }
    // No run: only the CDN-thread connection asks the others for blocks.
    for (range_client client : {range_client::http_cdn, range_client::cdn_thread}) {
        Fixture f;
        f.task.SetPickerAvailable(false);
        http_range_request exchange(client, &f.task, nullptr);
        std::string request;
        EXPECT_EQ(http_range_request::build_no_run, exchange.build(Peer(5), request));
        EXPECT_EQ(client == range_client::cdn_thread ? 1u : 0u, f.task.release_request_count());
    }
}

namespace {

struct HeaderCase {
    const char* what;
    std::string header;
    state http_cdn;
    state cdn_thread;
    const char* failure;
};

std::vector<HeaderCase> HeaderCases()
{
    const state ok = state::header_done;
    const state no = state::refused;
    return {
        {"206", "HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\nContent-Range: bytes 0-99/100\r\n\r\n", ok, ok,
         ""},
        {"200 at 0", "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n", ok, ok, ""},
        {"no reason", "HTTP/1.1 206\r\nContent-Length: 100\r\n\r\n", ok, ok, ""},
        {"HTTP/2", "HTTP/2 200 OK\r\nContent-Length: 100\r\n\r\n", no, no,
         "http head is not equ HTTP/1.1 or HTTP/1.0, close !"},
        {"302", "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", no, no,
         "http head statecode is not equ 206 and not 200, close!"},
        {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\n\r\n", no, no,
         "http head statecode is not equ 206 and not 200, close!"},
        {"version only", "HTTP/1.1\r\n\r\n", no, no, "http head check error, close!"},
        {"long version", "HTTP/1.1.1 206 X\r\nContent-Length: 1\r\n\r\n", no, no, "http head check error, close!"},
        {"long status", "HTTP/1.1 20600 X\r\nContent-Length: 1\r\n\r\n", no, no, "http head check error, close!"},
        {"long reason", "HTTP/1.1 206 " + std::string(300, 'r') + "\r\nContent-Length: 1\r\n\r\n", no, no,
         "http head check error, close!"},
        {"long value", "HTTP/1.1 206 OK\r\nX-Big: " + std::string(5000, 'v') + "\r\nContent-Length: 1\r\n\r\n", no, no,
         "http head check error, close!"},
        {"lower-case length", "HTTP/1.1 206 OK\r\ncontent-length: 100\r\n\r\n", ok, ok, ""},
        {"length without blank", "HTTP/1.1 206 OK\r\nCONTENT-LENGTH:100\r\n\r\n", ok, ok, ""},
        {"empty values", "HTTP/1.1 206 OK\r\nServer:\r\nContent-Length: 100\r\nX-Empty:   \r\n\r\n", ok, ok, ""},
        {"no length", "HTTP/1.1 206 OK\r\nServer: x\r\n\r\n", no, ok, "http head has no Content-Length, close!"},
        {"other range", "HTTP/1.1 206 OK\r\nContent-Length: 50\r\nContent-Range: bytes 50-99/100\r\n\r\n", no, no,
         "http head range is not the one asked for, close!"},
        {"gzip body", "HTTP/1.1 200 OK\r\nContent-Length: 40\r\nContent-Encoding: gzip\r\n\r\n", no, no,
         "http head body is encoded, close!"},
        {"chunked body", "HTTP/1.1 200 OK\r\nContent-Length: 40\r\nTransfer-Encoding:  Chunked \r\n\r\n", no, no,
         "http head body is encoded, close!"},
        {"identity body", "HTTP/1.1 206 OK\r\nContent-Length: 100\r\ncontent-encoding: identity\r\n\r\n", ok, ok, ""},
    };
}

// Feeds `answer` in chunks of `chunk` bytes, into lent storage bytes
// whenever the exchange offers them (`lent` counts those); the last state.
state Feed(http_range_request& exchange, const std::string& answer, std::size_t chunk, std::size_t* lent = nullptr)
{
    state last = state::more;
    for (std::size_t at = 0; at < answer.size() && last != state::complete && last != state::refused;) {
        std::uint8_t* target = nullptr;
        std::uint32_t filled = 0, wanted = 0;
        std::shared_ptr<void> owner;
        std::size_t n = std::min(chunk, answer.size() - at);
        if (exchange.receive_target(target, filled, wanted, owner)) {
            n = std::min<std::size_t>(n, wanted - filled);
            std::memcpy(target + filled, answer.data() + at, n);
            last = exchange.receive_lent(std::uint32_t(n), Peer(5));
            if (lent)
                *lent += n;
        } else {
            last = exchange.receive(reinterpret_cast<const std::uint8_t*>(answer.data() + at), n, Peer(5));
        }
        at += n;
    }
    return last;
}

// An exchange with a one-block run at the start of a.bin, its request built.
std::unique_ptr<http_range_request> Built(Fixture& f, range_client client)
{
    auto exchange = std::make_unique<http_range_request>(client, &f.task, nullptr);
    std::string request;
    EXPECT_EQ(http_range_request::build_ok, exchange->build(Peer(5), request));
    return exchange;
}

}   // namespace

TEST(HttpRangeRequest, HeaderChecksInEveryChunkSize)
{
    for (const HeaderCase& c : HeaderCases()) {
        for (range_client client : {range_client::http_cdn, range_client::cdn_thread}) {
            const state expected = client == range_client::http_cdn ? c.http_cdn : c.cdn_thread;
            for (std::size_t chunk :
                 {std::size_t(1), std::size_t(2), std::size_t(7), std::size_t(64), c.header.size()}) {
                Fixture f;
                auto exchange = Built(f, client);
                state last = state::more;
                for (std::size_t at = 0; at < c.header.size() && last == state::more; at += chunk) {
                    const std::size_t n = std::min(chunk, c.header.size() - at);
                    last = exchange->receive(reinterpret_cast<const std::uint8_t*>(c.header.data() + at), n, Peer(5));
                }
                EXPECT_EQ(expected, last) << c.what << " chunk " << chunk;
                if (expected == state::refused) {
                    EXPECT_EQ(c.failure, exchange->failure()) << c.what;
                }
                EXPECT_EQ(0u, f.task.BlocksWritten()) << c.what;
            }
        }
    }
}

TEST(HttpRangeRequest, HeaderMapsFollowTheClient)
{
    const std::string header = "HTTP/1.1 206 Partial Content\r\nContent-Length: 4242\r\nServer:  nginx \r\n\r\n";
    Fixture f1;
    auto http = Built(f1, range_client::http_cdn);
    http->receive(reinterpret_cast<const std::uint8_t*>(header.data()), header.size(), Peer(5));
    EXPECT_EQ(4242u, http->content_length());
    EXPECT_EQ("4242", http->headers().at("Content-Length:"));
    Fixture f2;
    auto thread = Built(f2, range_client::cdn_thread);
    thread->receive(reinterpret_cast<const std::uint8_t*>(header.data()), header.size(), Peer(5));
    EXPECT_EQ("nginx", thread->headers().at("Server"));
}

TEST(HttpRangeRequest, HeaderLongerThanTheBoundIsRefused)
{
    Fixture f;
    auto exchange = Built(f, range_client::cdn_thread);
    std::string header = "HTTP/1.1 206 OK\r\n";
    while (header.size() < http_range_request::kMaxHeaderBytes + 10)
        header += "X-Filler: 0123456789\r\n";
    EXPECT_EQ(state::refused,
              exchange->receive(reinterpret_cast<const std::uint8_t*>(header.data()), header.size(), Peer(5)));
}

// Received into the connection's buffer, or straight into lent storage
// bytes as a connection does when the task lends them.
TEST(HttpRangeRequest, BodyIsCutIntoBlocksInEveryChunkSize)
{
    const std::string content = Pattern(4 * kPiece + 1000);
    for (bool lend : {false, true})
        for (std::size_t chunk :
             {std::size_t(1000), std::size_t(32768), std::size_t(65536), std::size_t(70001), std::size_t(1) << 20}) {
            SCOPED_TRACE(lend ? "lent" : "copied");
            Fixture f({{"a.bin", content}});
            f.task.m_lend = lend;
            auto exchange = std::make_unique<http_range_request>(range_client::http_cdn, &f.task, nullptr);
            BlockRequestQueue run;
            std::uint32_t count = 6;
            f.task.request_continuous_blocks(run, count);
            ASSERT_EQ(6u, run.size());
            exchange->set_run(run);
            std::string request;
            ASSERT_EQ(0, exchange->build(Peer(5), request));
            // The answer: header, the file from the range start to its end.
            const std::string answer = "HTTP/1.1 206 Partial Content\r\nContent-Length: " +
                                       std::to_string(content.size()) + "\r\n\r\n" + content;
            std::size_t lent = 0;
            const state last = Feed(*exchange, answer, chunk, &lent);
            EXPECT_EQ(state::complete, last) << chunk;
            EXPECT_EQ(lend && chunk<6 * kBlockSize, lent> 0) << chunk;   // a bigger first read takes the whole run
            EXPECT_EQ(0, f.task.m_loans->load()) << "a loan outlived the run";
            EXPECT_EQ(6u, f.task.BlocksWritten()) << chunk;
            EXPECT_EQ(0, std::memcmp(f.task.Image(0).data(), content.data(), 6 * kBlockSize)) << chunk;
            // Nothing past the run was written.
            EXPECT_EQ(std::string(kBlockSize, '\0'), f.task.Image(0).substr(6 * kBlockSize, kBlockSize));
            EXPECT_EQ(6 * kBlockSize, f.task.BytesCounted());
            EXPECT_EQ(CBlockRequestMap::kReceived, f.task.Picker().BlockState(1, 1));
        }
}

TEST(HttpRangeRequest, CdnThreadLogsEveryBlockWhileTheClientLogIsOn)
{
    test_support::ClientLogCapture log;
    ASSERT_TRUE(log.Enabled());
    const std::string content = Pattern(4 * kPiece + 1000);
    const std::string line = "cdn_thread_peer_connection::on_response, request index[";
    std::size_t expected = 0;
    // All six blocks in one receive, then one block per receive.
    for (std::size_t chunk : {std::size_t(1) << 20, std::size_t(kBlockSize)}) {
        Fixture f({{"a.bin", content}});
        http_range_request exchange(range_client::cdn_thread, &f.task, nullptr);
        exchange.set_run(MakeRun(0, 6));
        std::string request;
        ASSERT_EQ(0, exchange.build(Peer(5), request));
        const std::string header = "HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\n\r\n";
        ASSERT_EQ(state::header_done,
                  exchange.receive(reinterpret_cast<const std::uint8_t*>(header.data()), header.size(), Peer(5)));
        state last = state::more;
        for (std::size_t at = 0; at < content.size() && last == state::more; at += chunk) {
            const std::size_t n = std::min(chunk, content.size() - at);
            last = exchange.receive(reinterpret_cast<const std::uint8_t*>(content.data() + at), n, Peer(5));
        }
        EXPECT_EQ(state::complete, last) << chunk;
        expected += 6;
        EXPECT_EQ(expected, log.Count(line)) << chunk;
    }
    EXPECT_EQ(2u, log.Count("[zeq::cdn_thread_peer_connection]response head : "));
}

TEST(HttpRangeRequest, IgnoredRangeIsReadPastOrRefused)
{
    const std::string content = Pattern(4 * kPiece + 1000);
    for (std::int32_t piece : {1, 3}) {
        Fixture f({{"a.bin", content}});
        http_range_request exchange(range_client::cdn_thread, &f.task, nullptr);
        exchange.set_run(MakeRun(piece, 2));
        std::string request;
        ASSERT_EQ(0, exchange.build(Peer(5), request));
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) + "\r\n\r\n" +
                                   content;
        EXPECT_EQ(state::complete,
                  exchange.receive(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size(), Peer(5)));
        EXPECT_EQ(
            0, std::memcmp(f.task.Image(0).data() + piece * kPiece, content.data() + piece * kPiece, 2 * kBlockSize));
        EXPECT_EQ(std::uint8_t(PEERTYPE_HTTP_CDN), f.task.m_last_type.load());
    }
    // Beyond the bound the bytes would take too long to skip.
    const std::uint32_t big_piece = 9u << 20;
    FakeRangeTask task(nullptr, big_piece, {{"a.bin", std::string(3 * big_piece, 'x')}});
    task.AddHttpInfo(Info(5, "h", "/a.bin"));
    http_range_request exchange(range_client::cdn_thread, &task, nullptr);
    exchange.set_run(MakeRun(2, 1));
    std::string request;
    ASSERT_EQ(0, exchange.build(Peer(5), request));
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    EXPECT_EQ(state::refused,
              exchange.receive(reinterpret_cast<const std::uint8_t*>(header.data()), header.size(), Peer(5)));
}

TEST(HttpRangeRequest, HandBackCutsAtAPieceStart)
{
    struct Case {
        std::size_t pending;
        std::uint32_t release_requests;
        std::size_t given;
    };
    const Case cases[] = {{40, 1, 20}, {42, 1, 18}, {15, 3, 0}, {16, 1, 8}, {40, 0, 0}, {41, 2, 21}};
    for (const Case& c : cases) {
        FakeRangeTask task(nullptr, kPiece, {{"a.bin", Pattern(12 * kPiece)}});
        task.AddHttpInfo(Info(5, "h", "/a.bin"));
        http_range_request exchange(range_client::http_cdn, &task, nullptr);
        exchange.set_run(MakeRun(0, c.pending));
        std::string request;
        ASSERT_EQ(0, exchange.build(Peer(5), request));
        task.m_release.store(c.release_requests);
        EXPECT_EQ(c.given, exchange.hand_back()) << c.pending;
        EXPECT_EQ(c.pending - c.given, exchange.pending_count());
        EXPECT_EQ(c.given ? c.release_requests - 1 : c.release_requests, task.release_request_count());
        if (c.given) {
            EXPECT_EQ(3 * std::int32_t(kBlockSize), exchange.pending().back().offset)
                << "the part kept ends with the last block of a piece";
        }
    }
}

// In a swarm a run gives back only a tail of pieces connected peers hold
// (what no peer holds would be fetched from the origin again), and a run
// does not count its pieces as held by a peer.
TEST(HttpRangeRequest, HandBackInASwarmOnlyWhatPeersHold)
{
    struct Case {
        std::int32_t held_from;   // pieces from this one to 9 are held by a peer
        std::size_t given;
    };
    for (const Case c : {Case{10, 0}, Case{5, 20}, Case{7, 12}, Case{0, 20}}) {
        FakeRangeTask task(nullptr, kPiece, {{"a.bin", Pattern(12 * kPiece)}});
        task.AddHttpInfo(Info(5, "h", "/a.bin"));
        http_range_request exchange(range_client::cdn_thread, &task, nullptr);
        exchange.set_run(MakeRun(0, 40));
        std::string request;
        ASSERT_EQ(0, exchange.build(Peer(5), request));
        for (std::int32_t p = 0; p < 10; ++p)
            EXPECT_EQ(0u, task.Picker().Availability(p)) << p;
        task.Picker().SetPeersExpected(true);
        for (std::int32_t p = c.held_from; p < 10; ++p)
            task.Picker().IncPieceAvailability(p);
        task.m_release.store(1);
        EXPECT_EQ(c.given, exchange.hand_back()) << c.held_from;
    }
}

TEST(HttpRangeRequest, AbortGivesEveryBlockBack)
{
    Fixture f;
    http_range_request exchange(range_client::cdn_thread, &f.task, nullptr);
    std::string request;
    ASSERT_EQ(0, exchange.build(Peer(5), request));
    ASSERT_GT(exchange.pending_count(), 0u);
    EXPECT_EQ(CBlockRequestMap::kRequested, f.task.Picker().BlockState(0, 0));
    exchange.abort();
    EXPECT_EQ(0u, exchange.pending_count());
    for (std::int32_t p = 0; p < std::int32_t(f.task.PieceCount()); ++p)
        EXPECT_EQ(CBlockRequestMap::kFree, f.task.Picker().BlockState(p, 0));

    // Aborted mid-block with lent bytes out: the part received moved into
    // the loan, the exchange lets go of it and only the receive's share
    // keeps it until that receive ends.
    Fixture g;
    g.task.m_lend = true;
    auto lending = Built(g, range_client::cdn_thread);
    const std::string answer = "HTTP/1.1 206 OK\r\n\r\n" + Pattern(1000);
    lending->receive(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size(), Peer(5));
    std::uint8_t* target = nullptr;
    std::uint32_t filled = 0, wanted = 0;
    std::shared_ptr<void> receive_share;
    ASSERT_TRUE(lending->receive_target(target, filled, wanted, receive_share));
    EXPECT_EQ(1000u, filled);
    EXPECT_EQ(0, std::memcmp(target, Pattern(1000).data(), 1000));
    lending->abort();
    EXPECT_EQ(1, g.task.m_loans->load());
    receive_share.reset();
    EXPECT_EQ(0, g.task.m_loans->load());
    EXPECT_EQ(0u, g.task.BlocksWritten());
    EXPECT_EQ(CBlockRequestMap::kFree, g.task.Picker().BlockState(0, 0));
}

// The part of a block a cut answer brought (copied or lent) is kept; the
// next request asks for the rest only and completes the block from both.
TEST(HttpRangeRequest, AnAnswerCutMidBlockIsAskedForFromWhereItStopped)
{
    const std::string content = Pattern(4 * kPiece + 1000);
    for (bool lend : {false, true}) {
        SCOPED_TRACE(lend ? "lent" : "copied");
        Fixture f({{"a.bin", content}});
        f.task.m_lend = lend;
        {
            http_range_request cut(range_client::cdn_thread, &f.task, nullptr);
            cut.set_run(MakeRun(0, 2));
            std::string request;
            ASSERT_EQ(0, cut.build(Peer(5), request));
            const std::string head = "HTTP/1.1 206 Partial Content\r\nContent-Length: 65536\r\n\r\n";
            EXPECT_EQ(state::more, Feed(cut, head + content.substr(0, 20000), 10000));
            cut.abort();
            EXPECT_TRUE(cut.delivered());
        }
        http_range_request next(range_client::http_cdn, &f.task, nullptr);
        next.set_run(MakeRun(0, 2));
        std::string request;
        ASSERT_EQ(0, next.build(Peer(5), request));
        EXPECT_NE(std::string::npos, request.find("Range: bytes=20000-65535\r\n")) << request;
        const std::string rest = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 20000-65535/" +
                                 std::to_string(content.size()) + "\r\nContent-Length: 45536\r\n\r\n" +
                                 content.substr(20000, 45536);
        EXPECT_EQ(state::complete, Feed(next, rest, 7000));
        EXPECT_EQ(2u, f.task.BlocksWritten());
        EXPECT_EQ(0, std::memcmp(f.task.Image(0).data(), content.data(), 2 * kBlockSize));
        EXPECT_EQ(0u, f.task.m_partials.size());
    }
}

// A crawling answer is kept while nothing does better (silence still fails),
// hands half its blocks to idle connections (then not reusable), and goes
// beside a four times faster exchange, failing its source only if another.
TEST(HttpRangeRequest, SlownessIsJudgedAgainstTheAlternatives)
{
    using verdict = http_range_request::verdict;
    test_support::shifted_tick_scope tick;
    const std::string content = Pattern(4 * kPiece + 1000);
    Fixture f({{"a.bin", content}});
    http_range_request exchange(range_client::cdn_thread, &f.task, nullptr);
    exchange.set_run(MakeRun(0, 8));
    std::string request;
    ASSERT_EQ(0, exchange.build(Peer(5), request, true));
    const std::string answer = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-262143/" +
                               std::to_string(content.size()) + "\r\nContent-Length: 262144\r\n\r\n" +
                               content.substr(0, 5000);
    exchange.receive(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size(), Peer(5));
    EXPECT_TRUE(exchange.reusable());
    test_support::tick_offset().store(6000);
    const std::uint32_t now = platform::tick_count();
    EXPECT_EQ(verdict::fine, exchange.judge(now, 1000, Peer(5))) << "the only source, however slow";
    EXPECT_EQ(verdict::timed_out, exchange.judge(now, http_range_request::kIdleTimeoutMs + 1, Peer(5)));

    EXPECT_EQ(0u, exchange.hand_back()) << "no connection waits";
    f.task.m_release.store(1);
    EXPECT_EQ(4u, exchange.hand_back());
    EXPECT_EQ(4u, exchange.pending_count());
    EXPECT_FALSE(exchange.reusable());

    f.task.m_best_rate.store(4 * 5000 * 1000 / 6000 + 4);
    EXPECT_EQ(verdict::fine, exchange.judge(now, 1000, Peer(5))) << "four times better, but crawling as well";
    f.task.m_best_rate.store(1u << 20);
    EXPECT_EQ(verdict::slow, exchange.judge(now, 1000, Peer(5)));
    f.task.m_other_source.store(true);
    EXPECT_EQ(verdict::slow_source, exchange.judge(now, 1000, Peer(5)));
}

TEST(HttpRangeRequest, PieceFailingItsCheckMidRunStopsTheDelivery)
{
    // The server sends wrong bytes; the failed check closes the connection
    // (abort) from inside the write, and the rest of the body is dropped.
    const std::string content = Pattern(4 * kPiece + 1000);
    Fixture f({{"a.bin", content}});
    http_range_request exchange(range_client::http_cdn, &f.task, nullptr);
    f.task.OnCheckFailed([&] { exchange.abort(); });
    std::uint32_t count = 8;
    BlockRequestQueue run;
    f.task.request_continuous_blocks(run, count);
    exchange.set_run(run);
    std::string request;
    ASSERT_EQ(0, exchange.build(Peer(5), request));
    std::string body = content;
    body[100] ^= 1;
    const std::string answer = "HTTP/1.1 206 OK\r\nContent-Length: 9\r\n\r\n" + body;
    EXPECT_NE(state::complete,
              exchange.receive(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size(), Peer(5)));
    EXPECT_EQ(1u, f.task.FailedChecks());
    EXPECT_EQ(4u, f.task.BlocksWritten());   // the first piece only
    EXPECT_EQ(0u, exchange.pending_count());
    EXPECT_EQ(CBlockRequestMap::kFree, f.task.Picker().BlockState(0, 0));
    EXPECT_EQ(CBlockRequestMap::kFree, f.task.Picker().BlockState(1, 0));
}

TEST(HttpRangeRequest, RunStopsAtTheEndOfItsFile)
{
    // Two pieces of a.bin then two of b.bin: the answer for a.bin never
    // carries b.bin's blocks, so they go back at once.
    FakeRangeTask task(nullptr, kPiece, {{"a.bin", Pattern(2 * kPiece)}, {"b.bin", Pattern(2 * kPiece, 2)}});
    task.AddHttpInfo(Info(5, "h", "/d/a.bin"));
    http_range_request exchange(range_client::cdn_thread, &task, nullptr);
    exchange.set_run(MakeRun(0, 16));
    std::string request;
    ASSERT_EQ(0, exchange.build(Peer(5, "h"), request));
    EXPECT_EQ(8u, exchange.pending_count());
    EXPECT_EQ(1, exchange.pending().back().piece);
    EXPECT_EQ("/d/a.bin", exchange.url_path());
}

// After the head a receive asks for what is left of the run (skipped bytes
// of an ignored range included), at most the body window, never more.
TEST(HttpRangeRequest, ReceiveWindowCoversTheRestOfTheRunAndNoMore)
{
    const std::string content = Pattern(4 * kPiece + 1000);
    const std::string head206 = "HTTP/1.1 206 Partial Content\r\nContent-Length: 9\r\n\r\n";
    const std::string head200 = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n";
    struct Case {
        const char* what;
        std::int32_t first_piece;
        std::size_t blocks;
        const std::string* head;   // null: head not received yet
        std::size_t body;          // body bytes received after the head
        std::uint32_t want;
    };
    const Case cases[] = {
        {"head awaited", 0, 6, nullptr, 0, 65536},
        {"whole run left", 0, 6, &head206, 0, 6 * kBlockSize},
        {"part of a block in", 0, 6, &head206, 1000, 6 * kBlockSize - 1000},
        {"last bytes", 0, 6, &head206, 6 * kBlockSize - 7, 7},
        {"long run capped", 0, 16, &head206, 0, http_range_request::kBodyWindow},
        {"ignored range skips first", 1, 2, &head200, 0, kPiece + 2 * kBlockSize},
    };
    for (const Case& c : cases) {
        Fixture f({{"a.bin", content}});
        http_range_request exchange(range_client::cdn_thread, &f.task, nullptr);
        exchange.set_run(MakeRun(c.first_piece, c.blocks));
        std::string request;
        ASSERT_EQ(0, exchange.build(Peer(5), request));
        if (c.head) {
            const std::string answer = *c.head + content.substr(std::size_t(c.first_piece) * kPiece, c.body);
            exchange.receive(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size(), Peer(5));
        }
        EXPECT_EQ(c.want, exchange.receive_window(65536)) << c.what;
    }
}
