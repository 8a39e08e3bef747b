// Whether the clock behind platform::tick_count() was replaced.
#pragma once

namespace platform {

// True while a replaced clock stands behind tick_count() (set_tick_source):
// it may jump or stand still, so a wait timed on the real clock cannot tell
// when one of its deadlines falls due.
bool tick_source_replaced();

}   // namespace platform
