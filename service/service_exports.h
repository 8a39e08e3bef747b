// The two functions a launcher's host process calls, in the four-argument
// entry form (window, instance, command line, show flag). The command line
// is the decimal game id. These are the only symbols the shared library
// exports.
#pragma once

#if defined(__GNUC__)
#define VR_SERVICE_EXPORT __attribute__((visibility("default")))
#else
#define VR_SERVICE_EXPORT
#endif

extern "C" {

// Runs the service of the game id; blocks until it has stopped. Returns at
// once when the command line is not a number or the game id already runs.
VR_SERVICE_EXPORT void startService(void* window, void* instance, const char* command_line, int show);

// Asks the running service of the game id (in any process) to stop; returns
// at once.
VR_SERVICE_EXPORT void shutdownService(void* window, void* instance, const char* command_line, int show);

// Pointer types of the two functions, for hosts that load the library.
typedef void (*vr_service_entry)(void*, void*, const char*, int);
}

#ifdef __cplusplus
#include <functional>

namespace kx2dll {

// Runs the body of startService (build, run and destroy the service): an
// exception it throws is written to the service log and goes no further,
// a fagex::Exception with its full description and the last system error
// text, any other as an unknown exception. Not exported.
void run_service_guarded(const std::function<void()>& body);

}   // namespace kx2dll
#endif
