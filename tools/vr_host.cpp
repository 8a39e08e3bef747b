// Host program: loads the service's shared library and calls its entry
// points the way a launcher's host process does.
//
//   vr_host start ID   runs the service of game ID in the foreground (until
//                      "vr_host stop ID", SIGINT or SIGTERM)
//   vr_host stop ID    asks the running service of game ID to stop
//   vr_host --help | --version
//
// The library is VR_SERVICE_LIBRARY when set, else the one beside this
// program, else the one in ../lib of an installed tree. The host changes no
// folder: the service log "vr_download_dll.log" is written in the current
// directory. Exit codes: 0 the service ran and stopped (or the stop was
// asked), 1 bad arguments, 2 the library cannot be loaded, 3 the start
// failed, 4 a service of that game id already runs.
#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/named_event.h"
#include "service/service_exports.h"

namespace {

std::string library_path()
{
    if (const char* path = std::getenv("VR_SERVICE_LIBRARY"); path != nullptr && *path != '\0')
        return path;
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
    std::string beside = folder + "/" + VR_SERVICE_LIBRARY_NAME;
    if (::access(beside.c_str(), F_OK) == 0)
        return beside;
    // Installed: bin/vr_host and lib/<library>.
    return folder + "/../" + VR_SERVICE_LIBRARY_DIR + "/" + VR_SERVICE_LIBRARY_NAME;
}

int usage(FILE* out, int code)
{
    std::fprintf(out, "usage: vr_host start GAMEID   run the service of GAMEID until stopped\n"
                      "       vr_host stop GAMEID    stop the running service of GAMEID\n"
                      "       vr_host --help | --version\n");
    return code;
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return usage(stdout, 0);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vr_host %s\n", VR_DOWNLOAD_VERSION);
        return 0;
    }
    if (argc != 3)
        return usage(stderr, 1);
    const std::string command = argv[1];
    const std::string game_id = argv[2];
    if (command != "start" && command != "stop")
        return usage(stderr, 1);
    if (game_id.empty() || game_id.find_first_not_of("0123456789") != std::string::npos) {
        std::fprintf(stderr, "vr_host: the game id must be a decimal number, not \"%s\"\n", game_id.c_str());
        return 1;
    }

    const std::string path = library_path();
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "vr_host: cannot load %s: %s\n", path.c_str(), ::dlerror());
        return 2;
    }
    auto start = reinterpret_cast<vr_service_entry>(::dlsym(library, "startService"));
    auto stop = reinterpret_cast<vr_service_entry>(::dlsym(library, "shutdownService"));
    auto result = reinterpret_cast<vr_service_result>(::dlsym(library, "startServiceResult"));
    if (start == nullptr || stop == nullptr) {
        std::fprintf(stderr, "vr_host: %s lacks startService/shutdownService\n", path.c_str());
        return 2;
    }

    if (command == "stop") {
        stop(nullptr, nullptr, game_id.c_str(), 0);
        std::printf("vr_host: stop of game %s requested\n", game_id.c_str());
        return 0;
    }

    // A running service of the game is told before anything is said about
    // starting (startService itself still refuses a start that races this).
    if (platform::NamedEvent::exists("EVENT_P2SP_DOWNLOAD_DLL_EXISTS" + std::to_string(std::atoi(game_id.c_str())))) {
        std::fprintf(stderr, "vr_host: a service of game %s is already running\n", game_id.c_str());
        return 4;
    }

    // Ctrl-C and SIGTERM stop the service the way "vr_host stop" does; the
    // signals are taken on a thread of their own, where the call is safe.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals, stop, game_id] {
        int received = 0;
        while (sigwait(&signals, &received) == 0)
            stop(nullptr, nullptr, game_id.c_str(), 0);
    }).detach();

    char cwd[PATH_MAX] = {};
    std::printf("vr_host: service of game %s starting (log: %s/vr_download_dll.log)\n", game_id.c_str(),
                ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".");
    std::printf("vr_host: stop it with \"vr_host stop %s\" or Ctrl-C\n", game_id.c_str());
    std::fflush(stdout);
    start(nullptr, nullptr, game_id.c_str(), 0);
    switch (result != nullptr ? result() : VR_START_STOPPED) {
    case VR_START_STOPPED:
        std::printf("vr_host: service of game %s has stopped\n", game_id.c_str());
        return 0;
    case VR_START_ALREADY_RUNNING:
        std::fprintf(stderr, "vr_host: a service of game %s is already running\n", game_id.c_str());
        return 4;
    default:
        std::fprintf(stderr, "vr_host: the service of game %s could not be started (see vr_download_dll.log)\n",
                     game_id.c_str());
        return 3;
    }
}
