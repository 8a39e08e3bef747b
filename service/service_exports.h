/* The functions a launcher's host process calls, in the four-argument entry
 * form (window, instance, command line, show flag). The command line is the
 * decimal game id. These are the only symbols the shared library exports.
 * Plain C: a host in C or C++ includes it as it is. */
#pragma once

#if defined(__GNUC__)
#define VR_SERVICE_EXPORT __attribute__((visibility("default")))
#else
#define VR_SERVICE_EXPORT
#endif

/* Results of startServiceResult. */
#define VR_START_NONE (-1)         /* no startService has returned on this thread */
#define VR_START_STOPPED 0         /* the service ran and was stopped */
#define VR_START_NOT_A_NUMBER 1    /* the command line is not a game id */
#define VR_START_ALREADY_RUNNING 2 /* a service of that game id already runs */
#define VR_START_FAILED 3          /* the service could not be started (the service log says why) */

#ifdef __cplusplus
extern "C" {
#endif

/* Runs the service of the game id; blocks until it has stopped. Returns at
 * once when the command line is not a number or the game id already runs. */
VR_SERVICE_EXPORT void startService(void* window, void* instance, const char* command_line, int show);

/* Asks the running service of the game id (in any process) to stop; returns
 * at once. */
VR_SERVICE_EXPORT void shutdownService(void* window, void* instance, const char* command_line, int show);

/* How the last startService that returned on the calling thread ended: one
 * of the VR_START_ values. */
VR_SERVICE_EXPORT int startServiceResult(void);

/* Pointer types of the functions, for hosts that load the library. */
typedef void (*vr_service_entry)(void*, void*, const char*, int);
typedef int (*vr_service_result)(void);

#ifdef __cplusplus
}
#endif
