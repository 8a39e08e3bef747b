// The guarded body of startService, apart from the exports so that the
// exported header stays plain C.
#pragma once

#include <functional>

namespace kx2dll {

// Runs the body of startService (build, run and destroy the service): an
// exception it throws is written to the service log and goes no further,
// a fagex::Exception with its full description and the last system error
// text, any other as an unknown exception. False when one was thrown.
bool run_service_guarded(const std::function<void()>& body);

}   // namespace kx2dll
