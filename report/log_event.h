// The numbered statistics event entry point. Callers raise events such as
// 9 "LOG::LOG_TASK_START" with a task id; no statistics logger is ever
// created in this service, so a call formats nothing and records nothing.
#pragma once

#include <cstdint>

// Statistics event: event id, key ("LOG::LOG_TASK_START"), two numbers that
// carry a task id or a value, and a printf-style format with its arguments.
// Returns at once; safe from any thread.
void LogEvent(std::uint32_t event_id, const char* key, std::uint32_t a, std::uint32_t b, const char* format, ...);
