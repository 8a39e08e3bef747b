#include "net/conn/http_range_request.h"

#include "net/io/stream_socket.h"
#include "picker/block_request_map.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "report/client_log.h"
#include "report/log_event.h"
#include "platform/invariant.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace zeq {

const char* const http_range_request::kClientName = "vrp2spclient";

namespace {

const char* const kHeadCheckError = "http head check error, close!";
const char* const kHeadVersionError = "http head is not equ HTTP/1.1 or HTTP/1.0, close !";
const char* const kHeadStatusError = "http head statecode is not equ 206 and not 200, close!";

// Status-line fields are held in fields of 9, 5 and 256 bytes.
constexpr std::size_t kMaxVersion = 8;
constexpr std::size_t kMaxStatus = 4;
constexpr std::size_t kMaxReason = 255;

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string trim(const std::string& text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && is_blank(text[first]))
        ++first;
    while (last > first && is_blank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// The next blank-separated word of `line` from `pos`; empty at the end.
std::string next_word(const std::string& line, std::size_t& pos)
{
    while (pos < line.size() && is_blank(line[pos]))
        ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && !is_blank(line[pos]))
        ++pos;
    return line.substr(start, pos - start);
}

// A request path byte that may go on the wire as it is.
bool plain_path_byte(unsigned char c, bool file_part)
{
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~')
        return true;
    if (!file_part)
        return c > 0x20 && c < 0x7F;   // a URL's directory may hold escapes and a query already
    return std::strchr("!$&'()*+,;=:@", c) != nullptr && c != 0;
}

// Escapes what cannot stand in a request line: a file name from the seed
// is escaped fully (blanks, '%', '#', '?', bytes above 0x7E), a directory
// from a URL only where it holds blanks or control bytes.
void append_escaped(std::string& out, const std::string& text, bool file_part)
{
    static const char hex[] = "0123456789ABCDEF";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (plain_path_byte(c, file_part)) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

// Content-Encoding and Transfer-Encoding, with or without the colon the
// HTTP CDN connection keeps in the name (lower case).
bool is_encoding_header(const std::string& lower_name)
{
    std::string name = lower_name;
    if (!name.empty() && name.back() == ':')
        name.pop_back();
    return name == "content-encoding" || name == "transfer-encoding";
}

// A Connection header that lets the connection stay ("keep-alive", or
// anything but "close").
bool is_keep_alive(const std::string& value)
{
    std::string lower = value;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find("close") == std::string::npos;
}

bool is_number(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool is_identity(const std::string& value)
{
    std::string lower = trim(value);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return lower.empty() || lower == "identity";
}

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}   // namespace

i_stream_socket* new_range_socket(i_range_task* task)
{
    i_io_service* io = task ? task->io_service() : nullptr;
    if (!io)
        return nullptr;
    auto* socket = new i_stream_socket(*io);
    socket->use_transfer_thread();
    return socket;
}

http_range_request::http_range_request(range_client client, i_range_task* task, const void* owner_id)
    : m_client(client), m_task(task), m_owner_id(owner_id)
{
    m_body.reserve(kBlockSize);
}

void http_range_request::set_run(BlockRequestQueue run)
{
    give_back(m_requested);
    m_requested = std::move(run);
}

std::string http_range_request::request_text(const std::string& url_path, std::uint64_t range_start,
                                             std::uint64_t range_last, const std::string& host, bool keep_alive)
{
    std::string text;
    text.reserve(768 + url_path.size() + host.size());
    text += "GET ";
    text += url_path;
    text += " HTTP/1.1\r\n";
    text += "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
            "application/x-silverlight, application/x-ms-application, application/x-ms-xbap, "
            "application/vnd.ms-xpsdocument, application/xaml+xml, application/vnd.ms-excel, "
            "application/vnd.ms-powerpoint, application/msword, */*\r\n";
    text += "Accept-Language: zh-cn\r\n";
    text += "Accept-Encoding: gzip, deflate\r\n";
    text += "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; QQDownload 598; QQPinyin686; "
            ".NET CLR 1.1.4322; .NET CLR 2.0.50727; .NET CLR 3.0.04506.648; .NET CLR 3.5.21022; "
            ".NET CLR 3.0.4506.2152;.NET CLR 3.5.30729; ";
    text += kClientName;
    text += ")\r\n";
    text += "Cache-Control: no-cache\r\n";
    text += keep_alive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    text += "Pragma: no-cache\r\n";
    text += "Range: bytes=";
    // A closed range: the server sends the run and no more, instead of
    // streaming the rest of the file until our close reaches it.
    text += std::to_string(range_start);   // no digit grouping whatever the locale
    text += '-';
    text += std::to_string(range_last);
    text += "\r\n";
    text += "Host: ";
    text += host;
    text += "\r\n\r\n";
    return text;
}

bool http_range_request::url_for_file(i_range_task& task, const HttpPeerInfo& own, const std::string& file,
                                      std::string& url_path)
{
    const std::string directory = directory_of(own.path);
    url_path.clear();
    std::string named;
    switch (task.find_file_url(own.host, file, directory, named)) {
    case file_url_table::match::found:
        // As the source gave it, escapes and case kept.
        if (named.empty() || named[0] != '/')
            url_path += '/';
        append_escaped(url_path, named, false);
        return true;
    case file_url_table::match::ambiguous:
        return false;
    case file_url_table::match::none:
        break;
    }
    // Nobody names the file: the task's files lie below the source's
    // directory as they lie below the task's folder. A source whose URL
    // names a file in a folder of the task ("/game/dir/file0.bin") has
    // the task's folder above that folder.
    std::string root = directory;
    const std::size_t slash = file.find('/');
    if (slash != std::string::npos) {
        const std::size_t at = root.rfind("/" + file.substr(0, slash + 1));
        if (at != std::string::npos)
            root.erase(at + 1);
    }
    if (root.empty() || root[0] != '/')
        url_path += '/';
    append_escaped(url_path, root, false);
    append_escaped(url_path, file, true);
    return true;
}

void http_range_request::log_run(const char* what, const BlockRequestQueue& run, std::uint32_t count)
{
    if (run.empty() || !ClientLogEnabled())
        return;
    std::ostringstream text;
    text << (is_cdn_thread() ? "cdn_thread_peer_connection[" : "http_cdn_connection[")
         << reinterpret_cast<std::uintptr_t>(m_owner_id) << "],"
         << "current thread id[" << platform::current_thread_id() << "]," << what << " start index["
         << run.front().piece << "],"
         << "start_start[" << run.front().offset << "],"
         << "end index[" << run.back().piece << "],"
         << "end start[" << run.back().offset << "],"
         << "count[" << count << "]";
    WriteClientLogStream(text);
}

int http_range_request::build(const PeerInfo& peer, std::string& request, bool keep_alive)
{
    ++m_generation;
    m_keep_alive = keep_alive;
    m_reusable = false;
    m_header_pending = true;
    if (!m_pending.empty())
        keep_partial();
    give_back(m_pending);
    m_body.clear();
    m_resume.clear();
    m_resumed = 0;
    m_kept_bytes = 0;
    m_cut = false;
    m_headers.clear();
    m_header_bytes.clear();
    m_content_length = 0;
    m_skip = 0;
    m_blocks_written = 0;
    m_body_bytes = 0;
    m_sent_tick = platform::tick_count();
    m_failure.clear();
    m_answer.clear();

    std::uint32_t count = kRunBlocks;
    if (m_requested.empty()) {
        m_task->request_continuous_blocks(m_requested, count);
        if (m_requested.empty()) {
            if (is_cdn_thread())
                m_task->add_release_request();
            return build_no_run;
        }
    }
    count = std::uint32_t(m_requested.size());
    // The run's pieces are not counted as held by a peer: availability
    // counts peers, and pieces the origin is sending still count as
    // missing from the swarm.
    log_run("cdn_get_request_blocks", m_requested, count);

    HttpPeerInfo info;
    if (!m_task->get_http_peer_info(peer.clientid, info)) {
        if (is_cdn_thread()) {
            if (ClientLogEnabled())
                WriteClientLog("[zeq::cdn_thread_peer]::write_post() client id[" + std::to_string(peer.clientid) +
                               "], can not find http info,http_cdn_connection::write_post fail");
        } else if (m_task->text_enabled()) {
            m_task->text_output("ClientID:" + std::to_string(peer.clientid) +
                                ",can not find http info,http_cdn_connection::write_post fail");
        }
        return build_no_path;
    }

    std::string name;
    std::int32_t piece_in_file = 0;
    m_task->get_file_name_for_block(m_requested.front().piece, name, piece_in_file);
    trim_run_to_file(name, piece_in_file);
    std::replace(name.begin(), name.end(), '\\', '/');
    m_file_name = name;
    m_piece_in_file = piece_in_file;

    if (name.empty() && directory_of(info.path).empty())
        return build_empty_path;
    if (!url_for_file(*m_task, info, name, m_url_path)) {
        if (is_cdn_thread()) {
            if (ClientLogEnabled())
                WriteClientLog("[zeq::cdn_thread_peer],client id[" + std::to_string(peer.clientid) +
                               "], fileName:" + name + ",svr rul path:" + directory_of(info.path) +
                               ", can not http_cdn_connection::write_post ");
        } else if (m_task->text_enabled()) {
            m_task->text_output("ClientID:" + std::to_string(peer.clientid) + ",FileName:" + name + ",svr rul path:" +
                                directory_of(info.path) + ",can not http_cdn_connection::write_post ");
        }
        return build_no_path;
    }

    // The run is consecutive blocks of consecutive pieces of one file.
    const std::uint64_t piece_size = m_task->piece_size();
    const BlockRequest& first = m_requested.front();
    const BlockRequest& last = m_requested.back();
    // What an earlier answer brought of the first block is not asked again.
    if (partial_blocks* store = m_task->partial_store()) {
        m_resume = store->take(first.piece, first.offset);
        if (m_resume.size() >= std::size_t(std::max(first.length, 0)))
            m_resume.clear();
    }
    m_resumed = m_resume.size();
    m_range_start = std::uint64_t(std::uint32_t(piece_in_file)) * piece_size + std::uint32_t(first.offset) + m_resumed;
    m_range_last = (std::uint64_t(std::uint32_t(piece_in_file)) + std::uint32_t(last.piece - first.piece)) *
                       piece_size +
                   std::uint32_t(last.offset) + std::uint32_t(std::max(last.length, 1)) - 1;
    m_range_text = std::to_string(m_range_start) + "-" + std::to_string(m_range_last);

    m_pending.insert(m_pending.end(), m_requested.begin(), m_requested.end());
    m_requested.clear();
    request = request_text(m_url_path, m_range_start, m_range_last, FixedText(peer.hostname), keep_alive);
    check_invariant();
    return build_ok;
}

void http_range_request::trim_run_to_file(const std::string& name, std::int32_t piece_in_file)
{
    // The answer carries one file: blocks of pieces in the next file would
    // never arrive on this connection, so they go back to the picker now.
    std::int32_t piece = m_requested.front().piece;
    std::int32_t expected = piece_in_file;
    for (std::size_t i = 1; i < m_requested.size(); ++i) {
        if (m_requested[i].piece == piece)
            continue;
        const std::int32_t next = m_requested[i].piece;
        std::string next_name;
        std::int32_t next_index = -1;
        m_task->get_file_name_for_block(next, next_name, next_index);
        expected += next - piece;
        piece = next;
        if (next_name != name || next_index != expected) {
            BlockRequestQueue rest(m_requested.begin() + std::ptrdiff_t(i), m_requested.end());
            m_requested.erase(m_requested.begin() + std::ptrdiff_t(i), m_requested.end());
            give_back(rest);
            return;
        }
    }
}

http_range_request::receive_state http_range_request::refuse(const std::string& message)
{
    m_failure = message;
    return receive_state::refused;
}

bool http_range_request::client_log_now()
{
    if (m_log_now < 0)
        m_log_now = ClientLogEnabled() ? 1 : 0;
    return m_log_now == 1;
}

http_range_request::receive_state http_range_request::receive(const std::uint8_t* data, std::size_t size,
                                                              const PeerInfo& peer)
{
    m_log_now = -1;
    if (m_header_pending) {
        std::size_t used = 0;
        const receive_state state = take_header(data, size, used);
        if (state != receive_state::header_done)
            return state;
        // The body goes on from the bytes an earlier answer brought.
        m_body.assign(m_resume.begin(), m_resume.end());
        m_resume.clear();
        m_step_bytes = 0;
        m_step_tick = platform::tick_count();
        if (used < size && deliver(data + used, size - used, peer))
            return receive_state::complete;
        return receive_state::header_done;
    }
    return deliver(data, size, peer) ? receive_state::complete : receive_state::more;
}

http_range_request::receive_state http_range_request::take_header(const std::uint8_t* data, std::size_t size,
                                                                  std::size_t& used)
{
    const std::size_t before = m_header_bytes.size();
    const std::size_t room = kMaxHeaderBytes - before;
    const std::size_t take = std::min(size, room);
    m_header_bytes.append(reinterpret_cast<const char*>(data), take);
    // The empty line may straddle two receives.
    const std::size_t from = before >= 3 ? before - 3 : 0;
    const std::size_t end = m_header_bytes.find("\r\n\r\n", from);
    if (end == std::string::npos) {
        used = take;
        if (m_header_bytes.size() >= kMaxHeaderBytes)
            return refuse("http head is too long, close!");
        return receive_state::more;
    }
    const std::size_t header_size = end + 4;
    used = header_size - before;
    const std::string text = m_header_bytes.substr(0, header_size);
    m_header_bytes.clear();

    const std::size_t line_end = text.find("\r\n");
    const std::string status_line = text.substr(0, line_end);
    if (!check_status_line(status_line))
        return receive_state::refused;
    if (is_cdn_thread() && ClientLogEnabled())
        WriteClientLog("[zeq::cdn_thread_peer_connection]response head : \r\n" + text.substr(0, end));
    if (!read_header_lines(text, line_end + 2))
        return receive_state::refused;
    std::size_t pos = 0;
    const std::string version = next_word(status_line, pos);
    const std::string status = next_word(status_line, pos);
    if (!check_range(status))
        return receive_state::refused;
    // Only an answer that ends where the run ends leaves the connection
    // ready for the next request.
    m_reusable = m_reusable && version == "HTTP/1.1" && status == "206";
    m_header_pending = false;
    m_step_bytes = m_body_bytes;
    m_step_tick = platform::tick_count();
    return receive_state::header_done;
}

bool http_range_request::check_status_line(const std::string& line)
{
    m_answer = line.substr(0, 128);
    std::size_t pos = 0;
    const std::string version = next_word(line, pos);
    const std::string status = next_word(line, pos);
    while (pos < line.size() && is_blank(line[pos]))
        ++pos;
    const std::size_t reason_end = line.find('\'', pos);
    const std::size_t reason_length = (reason_end == std::string::npos ? line.size() : reason_end) - pos;
    if (version.empty() || status.empty() || version.size() > kMaxVersion || status.size() > kMaxStatus ||
        reason_length > kMaxReason) {
        m_failure = kHeadCheckError;
        return false;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        m_failure = kHeadVersionError;
        return false;
    }
    if (status != "206" && status != "200") {
        m_failure = kHeadStatusError;
        return false;
    }
    return true;
}

bool http_range_request::read_header_lines(const std::string& text, std::size_t start)
{
    std::size_t pos = start;
    std::string content_range;
    std::string content_length;
    bool server_closes = false;
    while (pos < text.size()) {
        const std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos || end == pos)
            break;   // the empty line ends the header
        const std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        std::string name;
        std::string value;
        if (is_cdn_thread()) {
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            name = trim(line.substr(0, colon));
            value = trim(line.substr(colon + 1));
        } else {
            // "name value": the name keeps its colon; the value runs to the
            // line end or an apostrophe and may be empty ("Server:" alone).
            std::size_t p = 0;
            name = next_word(line, p);
            const std::size_t colon = name.find(':');
            if (colon != std::string::npos && colon + 1 < name.size()) {
                p -= name.size() - colon - 1;   // "Name:value" without a blank
                name.erase(colon + 1);
            }
            while (p < line.size() && is_blank(line[p]))
                ++p;
            const std::size_t quote = line.find('\'', p);
            value = line.substr(p, quote == std::string::npos ? std::string::npos : quote - p);
            if (name.empty()) {
                m_failure = kHeadCheckError;
                return false;
            }
        }
        if (name.size() > kMaxHeaderField || value.size() > kMaxHeaderField) {
            m_failure = kHeadCheckError;
            return false;
        }
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        // Header names are case-insensitive: "content-length:" counts too.
        if (lower == "content-range" || lower == "content-range:")
            content_range = value;
        if (lower == "content-length:" || lower == "content-length")
            content_length = value;
        if (lower == "connection" || lower == "connection:")
            server_closes = !is_keep_alive(value);
        if (is_encoding_header(lower) && !is_identity(value)) {
            // We ask with "Accept-Encoding: gzip, deflate" as launchers always
            // did, but only the file's own bytes may become blocks.
            m_failure = "http head body is encoded, close!";
            return false;
        }
        m_headers[name] = value;
    }
    if (!is_cdn_thread()) {
        m_content_length = std::uint32_t(std::strtoul(content_length.c_str(), nullptr, 10));
        if (m_content_length == 0) {
            // Without a length nothing of the body would ever be taken.
            m_failure = "http head has no Content-Length, close!";
            return false;
        }
    }
    if (!content_range.empty()) {
        // "bytes <first>-<last>/<size>": a part that starts elsewhere than
        // asked would put foreign bytes into the blocks.
        std::size_t p = 0;
        const std::string unit = next_word(content_range, p);
        const std::string span = trim(content_range.substr(p));
        const std::string first = span.substr(0, span.find('-'));
        if (unit != "bytes" || !is_number(first) || std::strtoull(first.c_str(), nullptr, 10) != m_range_start) {
            m_failure = "http head range is not the one asked for, close!";
            return false;
        }
        const std::size_t dash = span.find('-');
        const std::string last = span.substr(dash + 1, span.find('/') - dash - 1);
        // The body must end where the run ends, or the next answer would be
        // read from the middle of this one.
        m_reusable = !m_cut && m_keep_alive && !server_closes && is_number(last) &&
                     std::strtoull(last.c_str(), nullptr, 10) == m_range_last && is_number(content_length) &&
                     std::strtoull(content_length.c_str(), nullptr, 10) == m_range_last - m_range_start + 1;
    }
    return true;
}

bool http_range_request::check_range(const std::string& status)
{
    if (status != "200" || m_range_start == 0)
        return true;
    // The server ignored the range and sends the file from its start.
    if (m_range_start > kMaxSkipBytes) {
        m_failure = "http head is 200 for a range, close!";
        return false;
    }
    m_skip = m_range_start;
    return true;
}

bool http_range_request::deliver(const std::uint8_t* data, std::size_t size, const PeerInfo& peer)
{
    m_body_bytes += size;
    if (m_skip != 0) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(m_skip, size));
        m_skip -= n;
        data += n;
        size -= n;
    }
    while (size > 0 && !m_pending.empty()) {
        const BlockRequest block = m_pending.front();
        const std::size_t length = block.length > 0 ? std::size_t(block.length) : 0;
        const std::uint8_t* bytes;
        if (!m_body.empty() || size < length) {
            const std::size_t take = std::min(length - m_body.size(), size);
            m_body.insert(m_body.end(), data, data + take);
            data += take;
            size -= take;
            if (m_body.size() < length)
                break;
            bytes = m_body.data();
        } else {
            bytes = data;
            data += length;
            size -= length;
        }
        m_pending.pop_front();
        const bool kept = store_block(block, bytes, nullptr, peer);
        m_body.clear();
        if (!kept)
            return false;   // the connection was closed under us (a failed piece check)
    }
    check_invariant();
    if (!m_pending.empty())
        return false;
    if (size > 0)
        m_reusable = false;   // more than the run came: the stream is not at an answer's end
    return run_done();
}

bool http_range_request::crawling(std::uint32_t now)
{
    if (m_header_pending || m_pending.empty())
        return false;
    if (m_body_bytes - m_step_bytes >= kBlockSize) {
        m_step_bytes = m_body_bytes;
        m_step_tick = now;
        return false;
    }
    return now - m_step_tick > kBlockDeadlineMs;
}

bool http_range_request::tail_longer_than(std::uint32_t now, std::uint32_t limit_ms) const
{
    const std::uint32_t elapsed = now - m_sent_tick;
    std::uint64_t left = 0;
    for (const BlockRequest& block : m_pending)
        left += std::uint64_t(block.length > 0 ? block.length : 0);
    left -= std::min<std::uint64_t>(left, m_body.size());
    // left / (bytes / elapsed) > limit_ms, without dividing by zero.
    return left * elapsed > std::uint64_t(limit_ms) * m_body_bytes;
}

http_range_request::verdict http_range_request::judge(std::uint32_t now, std::uint32_t idle_ms, const PeerInfo& peer)
{
    if (timed_out(idle_ms))
        return verdict::timed_out;
    // Looked at every second: a block's worth of bytes restarts its clock.
    const bool crawl = crawling(now);
    const std::uint32_t elapsed = now - m_sent_tick;
    if (m_header_pending || m_pending.empty() || elapsed < kSlowMeasureMs)
        return verdict::fine;
    const std::uint64_t rate = m_body_bytes * 1000 / elapsed;
    const std::uint64_t fastest = m_task->note_source_rate(std::uint32_t(std::min<std::uint64_t>(rate, 0xFFFFFFFFu)));
    // Slowness alone is judged only against an exchange that does better,
    // and does not crawl itself (a silent one is the time-outs' business):
    // a source slow on every connection is still the best the task has,
    // rates of a few bytes differ by chance, and its blocks would only be
    // asked of it again. In a swarm the origin's runs are few and share its
    // link, and what no peer holds would only be fetched from it again.
    if (fastest < kBlockSize * 1000ull / kBlockDeadlineMs || rate * kSlowFactor > fastest)
        return verdict::fine;
    const bool lagging = m_task->release_request_count() != 0 && tail_longer_than(now, kSlowTailMs);
    if (!crawl && !lagging)
        return verdict::fine;
    CBlockRequestMap* picker = m_task->piece_picker();
    if (picker && !picker->OthersCanServe(m_pending.front().piece))
        return verdict::fine;
    return m_task->has_other_source(peer) ? verdict::slow_source : verdict::slow;
}

bool http_range_request::run_done()
{
    // A run complete: its speed is what slower sources are measured by.
    const std::uint32_t elapsed = platform::tick_count() - m_sent_tick;
    m_task->note_source_rate(
        std::uint32_t(std::min<std::uint64_t>(m_body_bytes * 1000 / (elapsed ? elapsed : 1), 0xFFFFFFFFu)));
    return true;
}

bool http_range_request::receive_target(std::uint8_t*& data, std::uint32_t& filled, std::uint32_t& wanted,
                                        std::shared_ptr<void>& owner)
{
    if (!m_loan || m_loan_filled >= m_loan->size()) {
        m_loan.reset();
        if (!borrow_front_blocks())
            return false;
    }
    data = m_loan->data();
    filled = m_loan_filled;
    wanted = m_loan->size();
    owner = m_loan;
    return true;
}

// Borrows storage's bytes for the front blocks that follow each other in
// one piece, as many as a body window holds.
bool http_range_request::borrow_front_blocks()
{
    if (m_header_pending || m_skip != 0 || m_pending.empty())
        return false;
    const BlockRequest& front = m_pending.front();
    std::uint32_t blocks = 1;
    while (blocks < m_pending.size() && blocks < kBodyWindow / kBlockSize) {
        const BlockRequest& next = m_pending[blocks];
        if (next.piece != front.piece || next.offset != m_pending[blocks - 1].offset + std::int32_t(kBlockSize))
            break;
        ++blocks;
    }
    std::shared_ptr<i_block_loan> loan = m_task->lend_blocks(front.piece, front.offset, blocks);
    if (!loan || loan->blocks() == 0 || loan->blocks() > blocks)
        return false;
    // What came of the front block into the buffer moves to its place.
    if (!m_body.empty())
        std::memcpy(loan->data(), m_body.data(), m_body.size());
    m_loan_filled = std::uint32_t(m_body.size());
    m_loan_stored = 0;
    m_body.clear();
    m_loan = std::move(loan);
    check_invariant();
    return true;
}

http_range_request::receive_state http_range_request::receive_lent(std::uint32_t bytes, const PeerInfo& peer)
{
    m_log_now = -1;
    if (!m_loan)
        return receive_state::more;
    // Held here: a failed piece check inside a commit may abort the
    // exchange, which lets go of its share.
    const std::shared_ptr<i_block_loan> loan = m_loan;
    m_body_bytes += bytes;
    m_loan_filled = std::min(m_loan_filled + bytes, loan->size());
    while (!m_pending.empty()) {
        const BlockRequest block = m_pending.front();
        const std::uint32_t length = block.length > 0 ? std::uint32_t(block.length) : 0;
        if (m_loan_stored + length > m_loan_filled)
            break;
        m_pending.pop_front();
        m_loan_stored += length;
        if (!store_block(block, nullptr, loan.get(), peer))
            return receive_state::more;   // the connection was closed under us
    }
    if (m_loan_stored >= loan->size())
        m_loan.reset();
    check_invariant();
    if (!m_pending.empty())
        return receive_state::more;
    return run_done() ? receive_state::complete : receive_state::more;
}

bool http_range_request::store_block(const BlockRequest& block, const std::uint8_t* bytes, i_block_loan* loan,
                                     const PeerInfo& peer)
{
    const std::uint32_t generation = m_generation;
    // Counted before it is written: the write of a task's last block may
    // complete the task (on the I/O thread, while the CDN thread is still
    // here), whose report carries these counters.
    m_task->count_block(is_cdn_thread() ? std::uint8_t(PEERTYPE_HTTP_CDN) : peer.peertype, std::uint32_t(block.length));
    bool written;
    if (bytes) {
        BlockRequest request = block;
        request.data = const_cast<std::uint8_t*>(bytes);
        written = m_task->write_block(request);
    } else {
        written = loan->commit();
    }
    // Storage may check the piece inside the write and, when it fails,
    // close every connection of the task, this one included.
    const bool aborted = generation != m_generation;
    if (CBlockRequestMap* picker = m_task->piece_picker()) {
        if (written)
            picker->MarkReceived(block.piece, block.offset);
        else
            picker->CancelRequest(block.piece, block.offset);
    }
    if (written)
        ++m_blocks_written;
    const std::uint64_t task_id = m_task->task_id();
    LogEvent(15, "LOG::LOG_DOWN_RECV_BLOCK", std::uint32_t(task_id), std::uint32_t(task_id >> 32), "%I64d",
             peer.clientid);
    if (is_cdn_thread()) {
        if (client_log_now()) {
            std::ostringstream text;
            text << "[zeq::cdn_thread_peer], client id[" << peer.clientid
                 << "], cdn_thread_peer_connection::on_response, request index[" << block.piece << "], block["
                 << block.offset << "]";
            WriteClientLogStream(text);
        }
    } else if (m_task->text_enabled()) {
        m_task->text_output("ClientID:" + std::to_string(peer.clientid) +
                            " zeq::http_cdn_connection::on_response, request index:" + std::to_string(block.piece) +
                            "\n");
    }
    return !aborted;
}

std::uint32_t http_range_request::receive_window(std::uint32_t head_window) const
{
    if (m_header_pending || m_pending.empty())
        return head_window;
    std::uint64_t left = m_skip;
    for (const BlockRequest& block : m_pending)
        left += std::uint64_t(block.length > 0 ? block.length : 0);
    left -= std::min<std::uint64_t>(left, m_body.size());
    return left == 0 ? head_window : std::uint32_t(std::min<std::uint64_t>(left, kBodyWindow));
}

std::size_t http_range_request::hand_back()
{
    const std::size_t n = m_pending.size();
    if (n < 2 || m_task->release_request_count() == 0)
        return 0;
    // The tail goes back only when every block of it is one another source
    // can take: what no peer holds would be fetched from the origin again.
    CBlockRequestMap* picker = m_task->piece_picker();
    std::size_t cut = n;
    if (n >= kHandBackMinimum) {
        // From a piece start on.
        for (std::size_t i = n; i-- > n / 2;) {
            if (picker && !picker->OthersCanServe(m_pending[i].piece))
                break;
            if (m_pending[i].offset == 0)
                cut = i;
        }
    }
    const std::uint32_t now = platform::tick_count();
    if (cut >= n && !m_header_pending && now - m_sent_tick >= kSlowMeasureMs && tail_longer_than(now, kSlowTailMs)) {
        // A slow answer keeps its first half, whole blocks: the idle
        // connections fetch the rest at the same time.
        for (std::size_t i = n; i-- > (n + 1) / 2;) {
            if (picker && !picker->OthersCanServe(m_pending[i].piece))
                break;
            cut = i;
        }
    }
    if (cut >= n)
        return 0;
    const std::size_t given = n - cut;
    if (ClientLogEnabled())
        WriteClientLog(std::string(is_cdn_thread() ? "cdn_thread_peer_connection" : "http_cdn_connection") +
                       " release pice [" + std::to_string(given) + "]\n");
    BlockRequestQueue tail(m_pending.begin() + std::ptrdiff_t(cut), m_pending.end());
    m_pending.erase(m_pending.begin() + std::ptrdiff_t(cut), m_pending.end());
    // The server goes on sending the tail: the answer ends past the run.
    m_cut = true;
    m_reusable = false;
    give_back(tail);
    m_task->take_release_request();
    check_invariant();
    return given;
}

void http_range_request::give_back(BlockRequestQueue& queue)
{
    if (queue.empty())
        return;
    if (CBlockRequestMap* picker = m_task->piece_picker()) {
        for (const BlockRequest& block : queue)
            picker->CancelRequest(block.piece, block.offset);
    }
    queue.clear();
    m_task->work_returned();
}

void http_range_request::keep_partial()
{
    partial_blocks* store = m_task->partial_store();
    if (!store || m_pending.empty())
        return;
    const BlockRequest& front = m_pending.front();
    const std::size_t length = front.length > 0 ? std::size_t(front.length) : 0;
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    if (m_loan) {
        // Bytes below the filled mark are settled: a receive still in
        // flight writes only past it.
        bytes = m_loan->data() + m_loan_stored;
        size = m_loan_filled - m_loan_stored;
    } else if (!m_body.empty()) {
        bytes = m_body.data();
        size = m_body.size();
    } else if (m_header_pending && !m_resume.empty()) {
        // No answer came: what an earlier one brought stays kept.
        store->keep(front.piece, front.offset, m_resume.data(), m_resume.size());
        return;
    }
    if (size == 0 || size >= length)
        return;
    store->keep(front.piece, front.offset, bytes, size);
    m_kept_bytes = size;
}

void http_range_request::abort()
{
    keep_partial();
    ++m_generation;
    // A receive still in flight into the loan keeps its own share.
    m_loan.reset();
    m_loan_filled = 0;
    m_loan_stored = 0;
    log_run("abort_download", m_pending, std::uint32_t(m_pending.size()));
    give_back(m_pending);
    give_back(m_requested);
    m_body.clear();
    m_resume.clear();
    m_headers.clear();
    m_header_bytes.clear();
    m_header_pending = false;
    m_reusable = false;
}

void http_range_request::check_invariant() const
{
#if defined(VR_INVARIANTS)
    VR_INVARIANT(m_pending.empty() ? m_body.empty() : m_body.size() < std::size_t(m_pending.front().length));
    VR_INVARIANT(!m_header_pending || m_body.empty());
    VR_INVARIANT(m_resume.empty() ||
                 (m_header_pending && !m_pending.empty() && m_resume.size() < std::size_t(m_pending.front().length)));
    VR_INVARIANT(!m_loan || (m_body.empty() && m_loan_stored <= m_loan_filled && m_loan_filled <= m_loan->size()));
    VR_INVARIANT(m_header_bytes.size() <= kMaxHeaderBytes);
    for (std::size_t i = 1; i < m_pending.size(); ++i) {
        const BlockRequest& a = m_pending[i - 1];
        const BlockRequest& b = m_pending[i];
        VR_INVARIANT(b.piece > a.piece || (b.piece == a.piece && b.offset > a.offset));
    }
#endif
}

}   // namespace zeq
