#include "service/service_interface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include <flxmlrpc/XmlRpcClient.h>

#include "fagex/fagexException.h"
#include "foundation/base64.h"
#include "platform/thread.h"
#include "service_test_support.h"
#include "service/launcher_error.h"
#include "service/launcher_rpc_server.h"

using kx2dll::ServiceInterface;
using kx2dll::value_map;
using service_test::call;
using service_test::call_service;
using service_test::decode;
using service_test::request_doc;

namespace {

constexpr int game = 12;

// What the fake download manager was asked, and what it answers.
struct manager_state {
    std::mutex mutex;
    bool result = true;
    value_map settings;
    value_map info;
    std::string packet_key;
    std::vector<std::string> calls;
    int level = -99;
    int game_id = -1;
    std::string md5;
    std::string old_version;
    std::string new_version;
    std::string item;
    std::string value;
    bool auto_download = false;
    std::string reason;   // left as the failure reason when not empty
};

// Stands in for the download manager: the handlers' field rules are what is
// under test here.
class fake_manager : public kx2dll::download_manager_interface {
public:
    explicit fake_manager(std::shared_ptr<manager_state> state) : m_state(std::move(state)) {}
    bool get_settings(value_map& settings) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->calls.push_back("get_settings");
        settings = m_state->settings;
        return m_state->result;
    }
    bool get_task_info(int game_id, const std::string& md5, value_map& info) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->calls.push_back("get_task_info");
        m_state->game_id = game_id;
        m_state->md5 = md5;
        info = m_state->info;
        if (!m_state->result && !m_state->reason.empty())
            kx2dll::set_failure_reason(m_state->reason);
        return m_state->result;
    }
    bool set_setting(const std::string& item, const std::string& value) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->calls.push_back("set_setting");
        m_state->item = item;
        m_state->value = value;
        return m_state->result;
    }
    bool start_download_file(int game_id, const std::string& md5, int level) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->calls.push_back("start_download_file");
        m_state->game_id = game_id;
        m_state->md5 = md5;
        m_state->level = level;
        return m_state->result;
    }
    bool start_download_packet(int game_id, const std::string& old_version, const std::string& new_version,
                               std::string& key, int level) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->calls.push_back("start_download_packet");
        m_state->game_id = game_id;
        m_state->old_version = old_version;
        m_state->new_version = new_version;
        m_state->level = level;
        key = m_state->packet_key;
        return m_state->result;
    }
    bool stop_download_file(int game_id, const std::string& md5) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->calls.push_back("stop_download_file");
        m_state->game_id = game_id;
        m_state->md5 = md5;
        return m_state->result;
    }
    void set_auto_download(bool enabled) override
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->calls.push_back("set_auto_download");
        m_state->auto_download = enabled;
    }

private:
    std::shared_ptr<manager_state> m_state;
};

// The launcher method on a real server on 127.0.0.1, served by its own
// thread, reached by a real XML-RPC client.
class ServiceInterfaceTest : public ::testing::Test {
protected:
    void start(kx2dll::download_manager_factory factory)
    {
        m_method = std::make_unique<ServiceInterface>(&m_server, game, std::move(factory));
        ASSERT_TRUE(m_server.bind_loopback(0));
        m_server.enableIntrospection(true);
        m_port = static_cast<std::uint16_t>(m_server.getPort());
        ASSERT_TRUE(m_thread.start([this] {
            while (!m_stop.load())
                m_server.serve_for(20);
            m_server.close_all();
        }));
    }

    // A factory that builds fake managers over the shared state and records
    // the paths it was given.
    kx2dll::download_manager_factory fake_factory()
    {
        return [this](const std::string& path, std::uint32_t) {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            m_paths.push_back(path);
            return std::make_unique<fake_manager>(m_state);
        };
    }

    void TearDown() override
    {
        m_stop.store(true);
        EXPECT_TRUE(m_thread.join_for(5000));
        m_thread.join();
    }

    // The decoded reply of one command.
    std::string command(const std::string& type, const service_test::fields& fields = {})
    {
        const auto out = call_service(m_port, request_doc(type, game, fields));
        EXPECT_TRUE(out.answered);
        EXPECT_FALSE(out.fault);
        return decode(out.text);
    }

    void register_client()
    {
        ASSERT_EQ(command("register_client", {{"path", "/launcher/"}}),
                  ServiceInterface::make_reply("register_client", 0, 1, game, "", "Register Client OK", ""));
    }

    static std::string ok(const std::string& type, const std::string& md5, const std::string& result)
    {
        return ServiceInterface::make_reply(type, 0, 1, game, md5, result, "");
    }

    service_test::isolated_env m_env;
    kx2dll::launcher_rpc_server m_server;
    std::unique_ptr<ServiceInterface> m_method;
    platform::Thread m_thread;
    std::atomic<bool> m_stop{false};
    std::uint16_t m_port = 0;
    std::shared_ptr<manager_state> m_state = std::make_shared<manager_state>();
    std::vector<std::string> m_paths;
};

const std::string error_reply = ServiceInterface::make_error_reply();

// The error reply that says why.
std::string refused(const std::string& reason)
{
    return ServiceInterface::make_error_reply(reason);
}

const std::string no_manager = refused("no download manager: register_client first");

}   // namespace

TEST(ServiceInterfaceReply, SevenLinesTextsUnescaped)
{
    EXPECT_EQ(ServiceInterface::make_reply("t", 0, 3, 12, "m<&", "r&<x>", "e"),
              "<p2spcmd type='t' return='0'>\r\n<version>3</version>\r\n<gameid>12</gameid>\r\n"
              "<file_md5>m<&</file_md5>\r\n<result type='string'>r&<x></result>\r\n"
              "<error>e</error>\r\n</p2spcmd>\r\n");
    EXPECT_EQ(error_reply, "<p2spcmd type='null' return='-1'>\r\n<version>0</version>\r\n<gameid>0</gameid>\r\n"
                           "<file_md5></file_md5>\r\n<result type='string'></result>\r\n"
                           "<error>params is null</error>\r\n</p2spcmd>\r\n");
}

TEST_F(ServiceInterfaceTest, UnreadableRequestsAreAnsweredInClearTextOthersInBase64)
{
    start({});
    std::string deep;
    for (int i = 0; i < 100; ++i)
        deep += "<a>";
    struct row {
        const char* what;
        std::string argument;   // sent as it is
        bool clear_text;
        std::string reason;   // what the error says after "params is null: "
    };
    const std::string malformed = "the request is not well-formed XML";
    const row rows[] = {
        {"empty string", "", true, "empty request"},
        {"empty after decoding", base64_encode(""), true, "empty request"},
        {"not Base64", "#not base64#", true, "empty request"},
        {"malformed", base64_encode("<p2spcmd type='getsetting'"), true, malformed},
        {"plain text", base64_encode("just text"), true, malformed},
        {"no root element", base64_encode("<!-- nothing -->"), true, "the request has no root element"},
        {"no type attribute", base64_encode("<p2spcmd><version>1</version></p2spcmd>"), true,
         "the request has no 'type' attribute"},
        {"nested too deeply", base64_encode("<p2spcmd type='set_task'>" + deep), true, malformed},
        {"wrong-case command", base64_encode(request_doc("getSetting", game)), false, "unknown command 'getSetting'"},
        {"unknown command", base64_encode(request_doc("no_such<command", game)), false,
         "unknown command 'no_such<command'"},
        {"needs a download manager", base64_encode(request_doc("getsetting", game)), false,
         "no download manager: register_client first"},
        {"no download manager to register", base64_encode(request_doc("register_client", game, {{"path", "/x"}})),
         false, "no download manager is available"},
        {"other game id", base64_encode(request_doc("unregister_client", 13)), false,
         "wrong game id '13': this service runs game 12"},
        {"no gameid field", base64_encode("<p2spcmd type='unregister_client'><version>1</version></p2spcmd>"), false,
         "missing field 'gameid'"},
        {"no version field", base64_encode("<p2spcmd type='unregister_client'><gameid>12</gameid></p2spcmd>"), false,
         "missing field 'version'"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        XmlRpc::XmlRpcValue params;
        params[0] = r.argument;
        const auto out = call(m_port, "ServiceInterface", params);
        ASSERT_TRUE(out.answered);
        EXPECT_FALSE(out.fault);
        if (r.clear_text)
            EXPECT_EQ(out.text, refused(r.reason));
        else
            EXPECT_EQ(decode(out.text), refused(r.reason));
        // The reason is escaped: the reply stays a well-formed document.
        EXPECT_NE((r.clear_text ? out.text : decode(out.text)).find("<error>params is null: "), std::string::npos);
    }
    EXPECT_NE(refused("a<b&c").find("<error>params is null: a&lt;b&amp;c</error>"), std::string::npos);
}

TEST_F(ServiceInterfaceTest, ArgumentShapes)
{
    start({});
    // No argument at all reads as an empty string.
    XmlRpc::XmlRpcValue none;
    none.setSize(0);
    auto out = call(m_port, "ServiceInterface", none);
    ASSERT_TRUE(out.answered);
    EXPECT_EQ(out.text, refused("empty request"));
    // An argument of another type is the library's fault answer.
    XmlRpc::XmlRpcValue number;
    number[0] = 5;
    out = call(m_port, "ServiceInterface", number);
    ASSERT_TRUE(out.answered);
    EXPECT_TRUE(out.fault);
    // And the service keeps serving.
    EXPECT_EQ(command("unregister_client"), ok("unregister_client", "", "Unregister Client OK"));
}

TEST_F(ServiceInterfaceTest, SetTaskAnswersAnEmptyString)
{
    start({});
    for (const std::string& doc :
         {request_doc("set_task", game), std::string("<p2spcmd type='set_task'/>"), request_doc("set_task", 99)}) {
        const auto out = call_service(m_port, doc);
        ASSERT_TRUE(out.answered);
        EXPECT_EQ(out.text, "");
    }
    // A set_task that fails the common checks still gets the clear-text error.
    EXPECT_EQ(call_service(m_port, "<p2spcmd type='set_task'").text, refused("the request is not well-formed XML"));
}

TEST_F(ServiceInterfaceTest, RootWithAnotherNameIsServed)
{
    start({});
    const auto out =
        call_service(m_port, "<launcher type='unregister_client'><version>3</version><gameid>12</gameid></launcher>");
    EXPECT_EQ(decode(out.text),
              ServiceInterface::make_reply("unregister_client", 0, 3, game, "", "Unregister Client OK", ""));
}

TEST_F(ServiceInterfaceTest, IntrospectionMethods)
{
    start({});
    XmlRpc::XmlRpcValue params;
    params[0] = "ServiceInterface";
    EXPECT_EQ(call(m_port, "system.methodHelp", params).text, "ServiceInterface help");

    XmlRpc::XmlRpcClient client("127.0.0.1", m_port);
    XmlRpc::XmlRpcValue result;
    ASSERT_TRUE(client.execute("system.listMethods", XmlRpc::XmlRpcValue(), result, 10.0));
    bool listed = false;
    for (int i = 0; i < result.size(); ++i)
        listed |= static_cast<std::string&>(result[i]) == "ServiceInterface";
    EXPECT_TRUE(listed);
}

TEST_F(ServiceInterfaceTest, RegisterClientBuildsTheManagerOnce)
{
    start(fake_factory());
    EXPECT_EQ(command("getsetting"), no_manager);
    register_client();
    EXPECT_EQ(command("register_client", {{"path", "/other/"}}), ok("register_client", "", "Register Client OK"));
    ASSERT_EQ(m_paths, std::vector<std::string>{"/launcher/"});   // the first path stays
    // unregister_client leaves the manager in place.
    EXPECT_EQ(command("unregister_client"), ok("unregister_client", "", "Unregister Client OK"));
    m_state->settings = {{"MAX_DOWNLOAD_NUM", "3"}};
    EXPECT_EQ(command("getsetting"), ok("getsetting", "", "<MAX_DOWNLOAD_NUM>3</MAX_DOWNLOAD_NUM>\r\n"));
}

TEST_F(ServiceInterfaceTest, RegisterClientWithBlankPathUsesTheSystemDirectory)
{
    start(fake_factory());
    EXPECT_EQ(command("register_client", {{"path", " \t \r"}}), ok("register_client", "", "Register Client OK"));
    ASSERT_EQ(m_paths.size(), 1u);
    EXPECT_EQ(m_paths[0], m_env.system_dir());
    EXPECT_EQ(command("register_client"), refused("missing field 'path'"));
}

TEST_F(ServiceInterfaceTest, RegisterClientFailureIsReportedAndServingGoesOn)
{
    int attempts = 0;
    start([&attempts](const std::string&, std::uint32_t) -> std::unique_ptr<kx2dll::download_manager_interface> {
        ++attempts;
        FAGEX_EXCEPT(fagex::Exception::ERR_INTERNAL_ERROR, "Invalid blend factor.", "start_p2sp_engine()");
    });
    const std::string failed = refused("the download manager cannot be built: Invalid blend factor.");
    EXPECT_EQ(command("register_client", {{"path", "/l/"}}), failed);
    EXPECT_EQ(command("register_client", {{"path", "/l/"}}), failed);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(command("getsetting"), no_manager);
    EXPECT_EQ(command("unregister_client"), ok("unregister_client", "", "Unregister Client OK"));
}

TEST_F(ServiceInterfaceTest, ListsInAscendingNameOrderWithValuesEscaped)
{
    start(fake_factory());
    register_client();
    m_state->settings = {{"MAX_UP_SPEED", "100.000"},
                         {"MAX_DOWN_SPEED", "5000.000"},
                         {"MAX_DOWNLOAD_NUM", "3"},
                         {"FILE_SAVE_PATCH", "/g/a&b<c"}};
    EXPECT_EQ(command("getsetting"), ok("getsetting", "",
                                        "<FILE_SAVE_PATCH>/g/a&amp;b&lt;c</FILE_SAVE_PATCH>\r\n"
                                        "<MAX_DOWNLOAD_NUM>3</MAX_DOWNLOAD_NUM>\r\n"
                                        "<MAX_DOWN_SPEED>5000.000</MAX_DOWN_SPEED>\r\n"
                                        "<MAX_UP_SPEED>100.000</MAX_UP_SPEED>\r\n"));

    m_state->info = {{"TASK_STATE", "1"},
                     {"DOWN_SPEED", "12.500"},
                     {"UP_SPEED", "0.000"},
                     {"DOWN_PROCESS", "0.420"},
                     {"SAVE_PATCH", "/g"}};
    // The request names a file MD5, the reply's file_md5 stays empty.
    EXPECT_EQ(command("get_task_info", {{"file_md5", "ABC"}}),
              ok("get_task_info", "",
                 "<DOWN_PROCESS>0.420</DOWN_PROCESS>\r\n<DOWN_SPEED>12.500</DOWN_SPEED>\r\n"
                 "<SAVE_PATCH>/g</SAVE_PATCH>\r\n<TASK_STATE>1</TASK_STATE>\r\n"
                 "<UP_SPEED>0.000</UP_SPEED>\r\n"));
    EXPECT_EQ(m_state->md5, "ABC");
    EXPECT_EQ(m_state->game_id, game);
    EXPECT_EQ(command("get_task_info"), refused("missing field 'file_md5'"));

    // A failed operation says what the manager gave as the reason, or a
    // reason of the command's own.
    m_state->result = false;
    EXPECT_EQ(command("getsetting"), refused("the settings cannot be read"));
    EXPECT_EQ(command("get_task_info", {{"file_md5", "ABC"}}), refused("no download 'ABC' was started"));
    m_state->reason = "the task server lists no task holding file_md5 'ABC'";
    EXPECT_EQ(command("get_task_info", {{"file_md5", "ABC"}}), refused(m_state->reason));
    m_state->reason.clear();
}

TEST_F(ServiceInterfaceTest, StartDownloadFileFields)
{
    start(fake_factory());
    register_client();
    struct row {
        const char* what;
        service_test::fields fields;
        bool accepted;
        int level;
    };
    const row rows[] = {
        {"empty highlevel reads 1", {{"filename", "a.pak"}, {"file_md5", "M1"}, {"highlevel", ""}}, true, 1},
        {"highlevel 0", {{"filename", "a.pak"}, {"file_md5", "M1"}, {"highlevel", "0"}}, true, 0},
        {"highlevel 1", {{"filename", ""}, {"file_md5", "M1"}, {"highlevel", "1"}}, true, 1},
        {"no highlevel", {{"filename", "a.pak"}, {"file_md5", "M1"}}, false, 0},
        {"no filename", {{"file_md5", "M1"}, {"highlevel", "1"}}, false, 0},
        {"no file_md5", {{"filename", "a.pak"}, {"highlevel", "1"}}, false, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        m_state->level = -99;
        const std::string reply = command("start_download_file", r.fields);
        if (r.accepted) {
            EXPECT_EQ(reply, ok("start_download_file", "M1", "Start Download File"));
            EXPECT_EQ(m_state->level, r.level);
            EXPECT_EQ(m_state->md5, "M1");
            EXPECT_EQ(m_state->game_id, game);
        } else {
            EXPECT_NE(reply.find("<error>params is null: missing field '"), std::string::npos) << reply;
            EXPECT_EQ(m_state->level, -99) << "the manager must not be called";
        }
    }
    m_state->result = false;
    EXPECT_EQ(command("start_download_file", {{"filename", "a"}, {"file_md5", "M1"}, {"highlevel", "1"}}),
              refused("no task holds file_md5 'M1'"));
}

TEST_F(ServiceInterfaceTest, PacketStopSettingAndAutoDownload)
{
    start(fake_factory());
    register_client();

    m_state->packet_key = "KEY<&";
    EXPECT_EQ(command("start_download_packet", {{"old_version", "100"}, {"new_version", "103"}, {"highlevel", ""}}),
              ok("start_download_packet", "KEY&lt;&amp;", "Start Download Packet OK"));
    EXPECT_EQ(m_state->old_version, "100");
    EXPECT_EQ(m_state->new_version, "103");
    EXPECT_EQ(m_state->level, 1);
    EXPECT_EQ(command("start_download_packet", {{"old_version", "100"}, {"new_version", "103"}}),
              refused("missing field 'highlevel'"));

    EXPECT_EQ(command("stop_download_file", {{"file_md5", "M2"}}),
              ok("stop_download_file", "M2", "Stop Download File OK"));
    EXPECT_EQ(m_state->md5, "M2");

    EXPECT_EQ(command("setting", {{"item_name", "MAX_DOWNLOAD_NUM"}, {"value", "4"}}), ok("setting", "", "Setting OK"));
    EXPECT_EQ(m_state->item, "MAX_DOWNLOAD_NUM");
    EXPECT_EQ(m_state->value, "4");
    EXPECT_EQ(command("setting", {{"item_name", "X"}}), refused("missing field 'value'"));

    struct row {
        const char* value;
        bool on;
    };
    for (const row& r :
         {row{"1", true}, row{"2", false}, row{"1", true}, row{"true", false}, row{"1", true}, row{"", false}}) {
        SCOPED_TRACE(r.value);
        EXPECT_EQ(command("enable_auto_download", {{"enable_auto_value", r.value}}),
                  ok("enable_auto_download", "", "enable auto download OK"));
        EXPECT_EQ(m_state->auto_download, r.on);
    }
    EXPECT_EQ(command("enable_auto_download"), refused("missing field 'enable_auto_value'"));

    // Operations that fail answer the error reply, a refused setting too.
    m_state->result = false;
    EXPECT_EQ(command("start_download_packet", {{"old_version", "1"}, {"new_version", "2"}, {"highlevel", "1"}}),
              refused("no update packets lead from version 1 to 2"));
    EXPECT_EQ(command("stop_download_file", {{"file_md5", "M2"}}), refused("no download 'M2' was started"));
    EXPECT_EQ(command("setting", {{"item_name", "MAX_DOWNLOAD_NUM"}, {"value", "abc"}}),
              refused("setting 'MAX_DOWNLOAD_NUM' refused"));
}

TEST(ServiceInterfaceHostileInput, MutatedRequestsAlwaysGetAReply)
{
    auto state = std::make_shared<manager_state>();
    ServiceInterface method(
        nullptr, game, [state](const std::string&, std::uint32_t) { return std::make_unique<fake_manager>(state); });
    const std::vector<std::string> seeds = {
        request_doc("register_client", game, {{"path", "/p/"}}),
        request_doc("start_download_file", game, {{"filename", "a"}, {"file_md5", "M"}, {"highlevel", ""}}),
        request_doc("start_download_packet", game, {{"old_version", "1"}, {"new_version", "2"}, {"highlevel", "0"}}),
        request_doc("enable_auto_download", game, {{"enable_auto_value", "1"}}),
        request_doc("get_task_info", game, {{"file_md5", "M"}}),
        "<p2spcmd type='set_task'/>",
    };
    const char alphabet[] = "<>/='\"&;![]?- \r\n\tp2spcmdtype\0\xff";
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0xffffff;
    };
    const std::string error = ServiceInterface::make_error_reply();
    for (int round = 0; round < 3000; ++round) {
        std::string doc = seeds[next() % seeds.size()];
        const int edits = 1 + static_cast<int>(next() % 6);
        for (int e = 0; e < edits && !doc.empty(); ++e) {
            const std::size_t at = next() % doc.size();
            switch (next() % 4) {
            case 0:
                doc.erase(at, 1 + next() % 8);
                break;
            case 1:
                doc.insert(at, 1, alphabet[next() % (sizeof alphabet - 1)]);
                break;
            case 2:
                doc[at] = alphabet[next() % (sizeof alphabet - 1)];
                break;
            default:
                doc = doc.substr(0, at);
                break;   // a request cut short
            }
        }
        XmlRpc::XmlRpcValue params;
        params[0] = round % 7 == 0 ? doc : base64_encode(doc);
        XmlRpc::XmlRpcValue result;
        method.execute(params, result);
        ASSERT_EQ(result.getType(), XmlRpc::XmlRpcValue::TypeString) << doc;
        const std::string& text = result;
        const bool clear_error = text.rfind(error.substr(0, 60), 0) == 0;
        const std::string reply = clear_error ? text : decode(text);
        // Either an error reply, an empty set_task answer or a reply document.
        EXPECT_TRUE(clear_error || text.empty() || reply.rfind("<p2spcmd type='", 0) == 0) << doc << " -> " << text;
    }
}
