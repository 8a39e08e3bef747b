/* The exported header as a C host sees it: it compiles as C and offers the
 * entry points, their pointer types and the start results. */
#include <vr_download/service_exports.h>

static int start_and_report(vr_service_entry start, vr_service_result result, const char* game_id)
{
    start(0, 0, game_id, 0);
    return result() == VR_START_STOPPED ? 0 : 1;
}

int main(void)
{
    vr_service_entry start = startService;
    vr_service_entry stop = shutdownService;
    (void)stop;
    return start_and_report(start, startServiceResult, "1") + (VR_START_NONE < 0 ? 0 : 1) + VR_START_NOT_A_NUMBER +
           VR_START_ALREADY_RUNNING + VR_START_FAILED - 6;
}
