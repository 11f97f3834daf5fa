// The signal watch of lib/py.hpp: the interpreter's wakeup fd pointed at a
// pipe of the module's while a call runs on the main thread.
//
// State is process-wide and changed only by the main thread with the lock
// held (a watch's start and end) or inside its call (`signal_arrived`), and
// by the only thread left in a forked child; relaxed atomics keep the
// child's reads defined, and plain loads and stores (no read-modify-write)
// keep them cheap.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "lib/py.hpp"

namespace knotwell::py {
namespace {

std::atomic<int> pipe_read{-1};
std::atomic<int> pipe_write{-1};
std::atomic<int> depth{0};            // watches alive on the main thread
std::atomic<int> saved_fd{-1};        // the wakeup fd the outermost watch replaced
std::atomic<unsigned> generation{0};  // moves on fork: older watches are void
std::atomic<unsigned> ends{0};

// 0 unknown, 1 main, 2 other. Static TLS: see parallel.cpp.
thread_local int tls_main __attribute__((tls_model("initial-exec"))) = 0;

void forget_in_child() {
    // The forking thread is the only one left and becomes the main thread;
    // a watch open in the parent (on its main thread) has no owner here.
    tls_main = 0;
    if (depth.load(std::memory_order_relaxed) > 0) PySignal_SetWakeupFd(saved_fd.load(std::memory_order_relaxed));
    depth.store(0, std::memory_order_relaxed);
    generation.fetch_add(1, std::memory_order_relaxed);
    // The pipe is shared with the parent: the child makes its own.
    for (std::atomic<int>* fd : {&pipe_read, &pipe_write})
        if (int old = fd->exchange(-1); old >= 0) close(old);
}

bool make_pipe() {
    static const bool registered = [] { return pthread_atfork(nullptr, nullptr, forget_in_child) == 0; }();
    if (!registered) return false;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    pipe_read.store(fds[0], std::memory_order_relaxed);
    pipe_write.store(fds[1], std::memory_order_relaxed);
    return true;
}

// Empties the pipe, passing each byte on to the wakeup fd that was replaced
// (that program's signal dispatch reads them); the number of bytes read.
long drain() {
    const int fd = pipe_read.load(std::memory_order_relaxed);
    const int target = saved_fd.load(std::memory_order_relaxed);
    long total = 0;
    unsigned char bytes[256];
    for (;;) {
        const ssize_t got = read(fd, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += got;
        // Best effort, as the interpreter's own write: a full fd loses bytes.
        if (target >= 0) (void)!write(target, bytes, static_cast<std::size_t>(got));
        if (static_cast<std::size_t>(got) < sizeof bytes) break;
    }
    return total;
}

}  // namespace

bool on_main_thread() noexcept {
    if (tls_main == 0) tls_main = gettid() == getpid() ? 1 : 2;
    return tls_main == 1;
}

SignalWatch::SignalWatch() {
    if (!on_main_thread()) return;
    if (depth.load(std::memory_order_relaxed) == 0) {
        if (pipe_write.load(std::memory_order_relaxed) < 0 && !make_pipe()) return;
        saved_fd.store(PySignal_SetWakeupFd(pipe_write.load(std::memory_order_relaxed)), std::memory_order_relaxed);
        // A SIGINT that tripped before the fd was set left no byte: trip it
        // again (no Python code runs) so that its byte is written.
        if (PyOS_InterruptOccurred()) PyErr_SetInterruptEx(SIGINT);
    }
    depth.store(depth.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    entered_ = true;
    generation_ = generation.load(std::memory_order_relaxed);
}

SignalWatch::~SignalWatch() {
    if (!entered_ || generation_ != generation.load(std::memory_order_relaxed)) return;
    const int outer = depth.load(std::memory_order_relaxed) - 1;
    depth.store(outer, std::memory_order_relaxed);
    if (outer != 0) return;
    const int mine = pipe_write.load(std::memory_order_relaxed);
    const int saved = saved_fd.load(std::memory_order_relaxed);
    // A handler that ran inside the call may have set a wakeup fd of its
    // own; that one stays.
    if (const int current = PySignal_SetWakeupFd(saved); current != mine) PySignal_SetWakeupFd(current);
    // Bytes left behind only cost a later call one needless signal check,
    // but a program's own fd must get them now, and the pipe must not fill.
    const unsigned end = ends.load(std::memory_order_relaxed) + 1;
    ends.store(end, std::memory_order_relaxed);
    if (saved >= 0 || end % 64 == 0) drain();
    saved_fd.store(-1, std::memory_order_relaxed);
}

bool SignalWatch::watching() noexcept {
    return on_main_thread() && depth.load(std::memory_order_relaxed) > 0 &&
           pipe_read.load(std::memory_order_relaxed) >= 0;
}

bool signal_arrived() noexcept { return SignalWatch::watching() && drain() > 0; }

}  // namespace knotwell::py
