// Host program: loads the service's shared library and calls its entry
// points the way a launcher's host process does.
//
//   vr_host start ID   runs the service of game ID in the foreground (until
//                      "vr_host stop ID", SIGINT or SIGTERM)
//   vr_host stop ID    asks the running service of game ID to stop
//
// The library is VR_SERVICE_LIBRARY when set, else the one beside this
// program. The host changes no folder: the service log "vr_download_dll.log"
// is written in the current directory.
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

namespace {

typedef void (*service_entry)(void*, void*, const char*, int);

std::string library_path()
{
    if (const char* path = std::getenv("VR_SERVICE_LIBRARY"); path != nullptr && *path != '\0')
        return path;
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
    return folder + "/" + VR_SERVICE_LIBRARY_NAME;
}

int usage()
{
    std::fprintf(stderr, "usage: vr_host start GAMEID | vr_host stop GAMEID\n");
    return 1;
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return usage();
    const std::string command = argv[1];
    const std::string game_id = argv[2];
    if (command != "start" && command != "stop")
        return usage();

    const std::string path = library_path();
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "vr_host: cannot load %s: %s\n", path.c_str(), ::dlerror());
        return 2;
    }
    auto start = reinterpret_cast<service_entry>(::dlsym(library, "startService"));
    auto stop = reinterpret_cast<service_entry>(::dlsym(library, "shutdownService"));
    if (start == nullptr || stop == nullptr) {
        std::fprintf(stderr, "vr_host: %s lacks startService/shutdownService\n", path.c_str());
        return 2;
    }

    if (command == "stop") {
        stop(nullptr, nullptr, game_id.c_str(), 0);
        std::printf("vr_host: stop of game %s requested\n", game_id.c_str());
        return 0;
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
    std::printf("vr_host: service of game %s has stopped\n", game_id.c_str());
    return 0;
}
