// The forced unwind that ends a thread. At interpreter exit CPython 3.13
// ends a daemon thread that retakes the interpreter lock with pthread_exit,
// which unwinds the thread's stack. Whether C++ code can let that unwind
// pass depends on the C++ runtime:
//
// - libstdc++ (g++) gives it a type, abi::__forced_unwind: the handlers on
//   the way catch it ahead of their catch (...), do what must happen before
//   the stack goes (the pool abandons the thread's job) and rethrow it.
//   KNOTWELL_TYPED_FORCED_UNWIND is 1.
// - libc++abi (the wheel's build) gives it no type and cannot rethrow it:
//   `throw;` of it in a catch (...) ends the process. So the lock is retaken
//   where nothing can see the unwind start (see py::retake_lock): a thread
//   that is to end there waits, parked, for the process to end, as CPython
//   3.14 does to such threads itself. KNOTWELL_TYPED_FORCED_UNWIND is 0.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define KNOTWELL_TYPED_FORCED_UNWIND 1
#else
#define KNOTWELL_TYPED_FORCED_UNWIND 0
#endif
