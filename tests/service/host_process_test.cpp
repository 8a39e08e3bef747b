// The service run by the host program in a process of its own, stopped from
// another process, and driven by the launcher client program.
#include <gtest/gtest.h>

#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/tick.h"
#include "service_test_support.h"
#include "service/net_service.h"
#include "service/service_version.h"

using test_support::wait_until;

namespace {

std::string tools_dir()
{
    if (const char* dir = std::getenv("VR_BINARY_DIR"); dir != nullptr && *dir != '\0')
        return std::string(dir) + "/tools";
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    path = path.substr(0, path.rfind('/'));   // .../tests
    return path.substr(0, path.rfind('/')) + "/tools";
}

// A child process running a tool with arguments; killed if still running
// when the object goes.
class child {
public:
    explicit child(const std::vector<std::string>& args)
    {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~child()
    {
        if (m_pid > 0 && !m_done) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    // Waits up to `ms` for the exit; true with the status when it ended.
    bool wait_exit(std::uint32_t ms, int& status)
    {
        const bool ended = wait_until(
            [&] {
                if (m_done)
                    return true;
                if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
                    m_done = true;
                return m_done;
            },
            ms);
        status = m_status;
        return ended;
    }
    bool running()
    {
        int status = 0;
        return !wait_exit(0, status);
    }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    bool m_done = false;
    int m_status = 0;
};

// Output of a tool run to its end (10 s at most); its exit code into
// `code` when given.
std::string run_tool(const std::string& command, int* code = nullptr)
{
    std::string out;
    FILE* pipe = ::popen(("timeout 10 " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        out += buffer;
    const int status = ::pclose(pipe);
    if (code != nullptr)
        *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

}   // namespace

TEST(HostProcess, StartsStopsFromAnotherProcessAndServesTheLauncherClient)
{
    service_test::isolated_env env;
    const std::string host = tools_dir() + "/vr_host";
    const std::string launcher = tools_dir() + "/vr_launcher";
    ASSERT_EQ(::access(host.c_str(), X_OK), 0) << host << " is not built";
    ASSERT_EQ(::access(launcher.c_str(), X_OK), 0) << launcher << " is not built";
    const int game = 845;
    const std::string info = env.appdata() + "/ZVK/" + kx2dll::service_info_file_name(game);

    child service({host, "start", std::to_string(game)});
    ASSERT_TRUE(wait_until([&] { return !service_test::read_text(info).empty(); }, 10000));

    // The launcher client finds the port in the information file.
    const std::string reply = run_tool(launcher + " --game 845 unregister_client");
    EXPECT_NE(reply.find("<p2spcmd type='unregister_client' return='0'>\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("<result type='string'>Unregister Client OK</result>"), std::string::npos);
    // A refused command shows in the exit code.
    int refused = -1;
    EXPECT_NE(run_tool(launcher + " --game 845 getSetting", &refused)
                  .find("<error>params is null: unknown command 'getSetting'</error>"),
              std::string::npos);
    EXPECT_EQ(refused, 4);
    EXPECT_NE(run_tool(launcher + " --game 845 system.methodHelp ServiceInterface").find("ServiceInterface help"),
              std::string::npos);

    // A second host of the same game id gives up at once, says so in its
    // exit code, and leaves the running service and its log alone.
    // It says nothing of starting.
    int second = -1;
    const std::string said = run_tool(host + " start 845", &second);
    EXPECT_EQ(second, 4) << said;
    EXPECT_EQ(said.find("starting"), std::string::npos) << said;
    EXPECT_NE(said.find("already running"), std::string::npos) << said;
    EXPECT_TRUE(service.running());

    // Stopped from another process.
    const std::uint32_t asked = platform::tick_count();
    EXPECT_NE(run_tool(host + " stop 845").find("stop of game 845 requested"), std::string::npos);
    int status = -1;
    ASSERT_TRUE(service.wait_exit(10000, status));
    EXPECT_LT(platform::tick_count() - asked, 5000u);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A launcher finds no port of a service that is gone.
    EXPECT_FALSE(platform::file_exists(info));

    const std::string log = service_test::read_text(env.service_log());
    for (const char* line : {"game id [845] running ...", "service listen port is", "NetServiceThreadProc exit ...",
                             "~ServiceInterface() ..."}) {
        SCOPED_TRACE(line);
        EXPECT_NE(log.find(line), std::string::npos) << log;
    }
    EXPECT_EQ(log.find('\0'), std::string::npos) << "the second start must not clobber the log";
}

TEST(HostProcess, SigtermStopsTheService)
{
    service_test::isolated_env env;
    // The module's folder cannot be written (a file stands in its path):
    // log files go to the data folder, and the log says so.
    const std::string blocker = env.root() + "/not_a_folder";
    std::ofstream(blocker) << "x";
    test_support::ScopedEnv module("VR_MODULE_DIR", blocker + "/lib");
    const std::string host = tools_dir() + "/vr_host";
    ASSERT_EQ(::access(host.c_str(), X_OK), 0) << host << " is not built";
    const std::string info = env.appdata() + "/ZVK/" + kx2dll::service_info_file_name(856);
    child service({host, "start", "856"});
    ASSERT_TRUE(wait_until([&] { return !service_test::read_text(info).empty(); }, 10000));
    ASSERT_EQ(::kill(service.pid(), SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(service.wait_exit(10000, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string log = service_test::read_text(env.service_log());
    EXPECT_NE(log.find("NetServiceThreadProc exit ..."), std::string::npos);
    EXPECT_NE(log.find("log files go to "), std::string::npos) << log;
    EXPECT_NE(log.find(": the module's folder " + blocker + "/lib cannot be written"), std::string::npos) << log;
}

TEST(HostProcess, ToolsAnswerHelpAndVersionAndTheHostsExitTellsAFailedStart)
{
    service_test::isolated_env env;
    const std::string host = tools_dir() + "/vr_host";
    const std::string launcher = tools_dir() + "/vr_launcher";
    const struct {
        std::string command;
        int code;
        std::string says;
    } runs[] = {
        {host + " --help", 0, "usage: vr_host start GAMEID"},
        {host + " --version", 0, "vr_host " + std::string(kx2dll::service_version()) + "\n"},
        {host + " start 12x", 1, "must be a decimal number"},
        {host + " start", 1, "usage: vr_host"},
        // No service runs: help and version must not need one.
        {launcher + " --help", 0, "usage: vr_launcher"},
        {launcher + " --game 3 --help", 0, "usage: vr_launcher"},
        {launcher + " --version", 0, "vr_launcher " + std::string(kx2dll::service_version()) + "\n"},
        {launcher + " --verbose getsetting", 1, "usage: vr_launcher"},
    };
    for (const auto& r : runs) {
        int code = -1;
        const std::string out = run_tool(r.command, &code);
        EXPECT_EQ(code, r.code) << r.command << ": " << out;
        EXPECT_NE(out.find(r.says), std::string::npos) << r.command << ": " << out;
    }
}
