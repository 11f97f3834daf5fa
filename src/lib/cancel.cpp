// Cancel scopes (parallel/cancel.hpp) as plain C functions of the module's
// shared object, for Python code that runs the module's functions on threads
// of its own and must be able to stop them: the module's attributes are
// fixed, so these are reached through ctypes.CDLL(knotwell_rs.__file__),
// which returns the already loaded library and so the same state. None of
// them touches Python, so they are called without the interpreter lock.
//
//   knotwell_cancel_scope_enter()      on the thread that will make the calls:
//                                      a token, or 0 when out of memory
//   knotwell_cancel(token)             from any thread: 1, or 0 when the scope
//                                      is not open
//   knotwell_cancel_scope_exit(token)  on the same thread, innermost scope
//                                      first: 0, or -1 when it is not that
//
// A cancelled call ends as a Ctrl-C does: KeyboardInterrupt, its buffers
// freed.
#include <cstdint>

#include "parallel/cancel.hpp"

#define KNOTWELL_EXPORT extern "C" __attribute__((visibility("default")))

KNOTWELL_EXPORT std::uint64_t knotwell_cancel_scope_enter() { return knotwell::parallel::enter_cancel_scope(); }

KNOTWELL_EXPORT int knotwell_cancel(std::uint64_t token) { return knotwell::parallel::cancel(token) ? 1 : 0; }

KNOTWELL_EXPORT int knotwell_cancel_scope_exit(std::uint64_t token) {
    return knotwell::parallel::exit_cancel_scope(token) ? 0 : -1;
}
