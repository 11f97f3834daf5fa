// Cancelling native calls that run on a given thread, from any other thread.
//
// A thread opens a cancel scope and gets its token; any thread may then cancel
// the token. From then on every poll on the scope's thread (the count of an
// `InterruptPoll`, the wait of a sweep the thread handed to the pool) throws
// `Interrupted`, exactly as a poll hook that asks to stop, so the call unwinds
// and frees what it holds; calls that never reach a poll finish normally.
// Scopes nest: cancelling one also stops the calls of the scopes opened inside
// it on the same thread. Other threads are not affected.
//
// Tokens are never reused, so cancelling a scope that has been closed is a
// harmless no-op. The check at a poll is one thread-local load while the
// thread has no scope open, and relaxed atomic loads along the open scopes
// otherwise; it takes no lock.
#pragma once

#include <cstdint>

namespace knotwell::parallel {

// Opens a scope on the calling thread; 0 when there is no memory for it.
std::uint64_t enter_cancel_scope() noexcept;

// Asks the calls of the scope `token` to stop; false when no such scope is
// open.
bool cancel(std::uint64_t token) noexcept;

// Closes `token`, which must be the calling thread's innermost open scope;
// false (and nothing closed) otherwise.
bool exit_cancel_scope(std::uint64_t token) noexcept;

// Whether a scope open on this thread has been cancelled.
bool cancel_requested() noexcept;

// Whether this thread has a scope open.
bool cancel_scope_open() noexcept;

}  // namespace knotwell::parallel
