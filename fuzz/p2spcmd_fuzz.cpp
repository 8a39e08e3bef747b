// Launcher requests to the "ServiceInterface" method: the input as the
// decoded `p2spcmd` document (sent Base64-encoded, as the launcher does)
// and as the raw argument text, through the method's execute path with a
// stand-in download manager. Every answer is the clear-text error reply or
// Base64 of one reply document.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <flxmlrpc/XmlRpcServer.h>
#include <flxmlrpc/XmlRpcValue.h>
#include <tinyxml.h>

#include "foundation/base64.h"
#include "fuzz_check.h"
#include "service/launcher_request.h"
#include "service/service_interface.h"
#include "service/xml_element.h"

namespace {

constexpr int kGameId = 12;

// Answers every call from fixed values; `ok` decides success.
class StandInManager : public kx2dll::download_manager_interface {
public:
    explicit StandInManager(bool ok) : m_ok(ok) {}
    bool get_settings(kx2dll::value_map& settings) override
    {
        settings = {{"MAX_DOWNLOAD_NUM", "3"}, {"MAX_DOWN_SPEED", "512.000"}, {"FILE_SAVE_PATCH", "/games/"}};
        return m_ok;
    }
    bool get_task_info(int, const std::string&, kx2dll::value_map& info) override
    {
        info = {{"TASK_STATE", "1"}, {"DOWN_PROCESS", "50.000"}};
        return m_ok;
    }
    bool set_setting(const std::string&, const std::string&) override { return m_ok; }
    bool start_download_file(int, const std::string&, int) override { return m_ok; }
    bool start_download_packet(int, const std::string&, const std::string&, std::string& key, int) override
    {
        key = "0123456789abcdef0123456789abcdef";
        return m_ok;
    }
    bool stop_download_file(int, const std::string&) override { return m_ok; }
    void set_auto_download(bool) override {}

private:
    bool m_ok;
};

XmlRpc::XmlRpcServer& server()
{
    static XmlRpc::XmlRpcServer s;   // never bound: it only holds the method
    return s;
}

// One answer: the clear-text error reply, or the decoded reply document
// (empty for "set_task", which has always answered with nothing).
struct Answer {
    bool clear_text = false;
    std::string reply;
};

// One call; checks the answer's shape.
Answer call(kx2dll::ServiceInterface& method, const std::string& argument)
{
    XmlRpc::XmlRpcValue params;
    params[0] = argument;
    XmlRpc::XmlRpcValue result;
    method.execute(params, result);
    FUZZ_CHECK(result.getType() == XmlRpc::XmlRpcValue::TypeString);
    const std::string text = result;
    Answer a;
    // The clear-text error document, whatever reason it gives.
    static const std::string error_head = kx2dll::ServiceInterface::make_error_reply("").substr(0, 32);
    if (text.compare(0, error_head.size(), error_head) == 0) {
        a.clear_text = true;
        return a;
    }
    FUZZ_CHECK(base64_decode(text, a.reply));
    if (a.reply.empty())
        return a;
    FUZZ_CHECK(a.reply.compare(0, 15, "<p2spcmd type='") == 0);
    const std::string end = "</p2spcmd>\r\n";
    FUZZ_CHECK(a.reply.size() > end.size() && a.reply.compare(a.reply.size() - end.size(), end.size(), end) == 0);
    return a;
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool manager_ok = (size & 1) == 0;
    kx2dll::ServiceInterface method(&server(), kGameId, [manager_ok](const std::string&, std::uint32_t) {
        return std::unique_ptr<kx2dll::download_manager_interface>(new StandInManager(manager_ok));
    });

    // A request the reader refuses is answered in clear text; any other
    // gets a reply document, of its own type when it names a command.
    kx2dll::launcher_request request;
    const bool readable = request.parse(text) == kx2dll::launcher_request::status::ok;
    const Answer answer = call(method, base64_encode(text));
    FUZZ_CHECK(answer.clear_text != readable);
    if (readable) {
        const std::string& reply = answer.reply;
        if (reply.empty())
            FUZZ_CHECK(request.type() == "set_task");
        else if (reply.compare(15, request.type().size() + 1, request.type() + "'") != 0)
            FUZZ_CHECK(reply.compare(0, 20, "<p2spcmd type='null'") == 0);
    }

    // Registered now (when the input asked for it): the same request again
    // reaches the manager.
    call(method, base64_encode(text));
    // The input as the argument itself, Base64 or not.
    call(method, text);

    // The element lookup on whatever TinyXML made of the input.
    if (kx2dll::xml_nesting_within(text, kx2dll::launcher_request::max_nesting)) {
        TiXmlDocument document;
        document.Parse(text.c_str());
        for (const char* path : {"p2spcmd", "p2spcmd/version", "x/gameid/y", "/", ""})
            kx2dll::find_xml_element(document, path);
    }
    return 0;
}
