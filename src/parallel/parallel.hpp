// The process-wide worker pool and the two sweep shapes built on it.
//
// A sweep covers an index range [0, L). The range is cut into contiguous
// pieces whose bounds depend on L alone (never on the pool size or on timing);
// each piece is processed by one worker, index by index in ascending order,
// so a per-piece workspace is paid once per piece and reused. Sum sweeps fold
// the piece results strictly left to right, so every result, float sums
// included, is bit-identical for any pool size. A piece result waits for its
// left neighbour only within a bounded window of pieces, so memory does not
// grow with the number of pieces.
//
// The calling thread hands the sweep to the pool and blocks; it takes no part
// in the work, unless the caller's estimate of the sweep's work is below
// kInlineWork: then handing it over (waking workers, waiting for them) would
// cost more than the work, and the caller runs the same pieces itself, in
// order, folding as the pool would, so the results are the same bits and no
// worker is woken (nor the pool created, though its size is fixed then, by
// the first sweep as always). While waiting it runs the poll hook
// (see `PollScope`) at short intervals and checks its cancel scopes (see
// parallel/cancel.hpp); when either asks to stop, no further piece or index is
// handed out, running ones finish, and `Interrupted` is thrown in the caller.
//
// Workers are started one by one when the pool is made, each on a stack of
// kWorkerStack bytes, and only while that stack, the malloc arenas the
// workers may come to reserve and kSpareAddressSpace still fit in the
// address space at once: under a limit on it the pool keeps the workers that
// fit and leaves room for the rest of the process (its own threads, the
// sweeps' workspaces). Their only thread-local state is
// static (made with the thread), so nothing is allocated on a worker's first
// touch of it.
//
// An exception thrown by a piece (std::bad_alloc, say) stops the sweep and is
// rethrown in the caller once every running piece has finished; the pool
// survives it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "parallel/interrupt.hpp"

namespace knotwell::parallel {

// Thrown by the first sweep when the pool could start no worker for a reason
// other than memory (a limit on threads, say). The process stays usable: the
// next sweep tries again.
struct ThreadStartFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Thrown by the first sweep when not even one worker's stack fits in the
// address space with room to spare. A std::bad_alloc, with a message that
// needs no allocation; the next sweep tries again.
struct WorkersOutOfMemory : std::bad_alloc {
    const char* what() const noexcept override {
        return "could not start worker threads: not enough address space left for their stacks";
    }
};

// Stack of each worker. Pieces run iterative kernels whose frames are small
// (their workspaces live on the heap); sanitizer builds get room for their
// larger frames.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t kWorkerStack = std::size_t{8} << 20;
#else
inline constexpr std::size_t kWorkerStack = std::size_t{2} << 20;
#endif
// Address space that must remain free beside a new worker's stack (and the
// arenas) for the worker to be started.
inline constexpr std::size_t kSpareAddressSpace = std::size_t{256} << 20;

// Number of workers; creates the pool on first use. Sized from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, else the logical processor count,
// capped at 65535.
std::size_t pool_size();

// Pool size that the environment variables ask for (exposed for tests).
std::size_t configured_pool_size();

// Fixes the pool's size from the environment if no sweep has yet: the first
// sweep of the process decides it, even one that runs on the calling thread
// and so creates no worker.
void settle_pool_size();

// Work of a sweep in units of about one memory access (as for
// InterruptPoll); at or above kInlineWork a sweep goes to the pool.
inline constexpr std::uint64_t kInlineWork = std::uint64_t{1} << 15;
inline constexpr std::uint64_t kUnknownWork = ~std::uint64_t{0};

// a * b, saturating: a work estimate that cannot wrap round to a small one.
inline std::uint64_t work_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? kUnknownWork : product;
}

// The fixed division of [0, length) into pieces.
std::size_t piece_count(std::size_t length);
inline std::size_t piece_begin(std::size_t length, std::size_t pieces, std::size_t k) {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(length) * k) / pieces);
}

inline constexpr std::chrono::milliseconds kPollInterval{20};

// While a PollScope lives on a thread, sweeps called from that thread run
// `poll` every `interval` while they wait, and long loops on the thread run
// it from `InterruptPoll` as often; a true result stops the sweep or the loop
// (`Interrupted`). Scopes nest; the innermost one polls. The thread refers to
// its scope by a plain pointer, so no thread-local object is ever built.
class PollScope {
  public:
    explicit PollScope(std::function<bool()> poll, std::chrono::nanoseconds interval = kPollInterval);
    ~PollScope();
    PollScope(const PollScope&) = delete;
    PollScope& operator=(const PollScope&) = delete;

    bool poll() const { return poll_(); }
    std::chrono::nanoseconds interval() const { return interval_; }

  private:
    std::function<bool()> poll_;
    std::chrono::nanoseconds interval_;
    PollScope* previous_;
};

// Whether a signal has reached the interpreter's handler since the last
// answer, learnt without the interpreter lock, without running any Python
// code and without touching anything a caller may be reading: for loops that
// read memory owned by the caller and so must not run the poll hook (its
// signal handlers may free that memory). A true answer is given once per
// batch of signals; whoever gets it must stop reading caller memory and then
// have the handlers run (the binding's signal check). The binding layer
// installs the probe when the module loads; without one, or on a thread that
// never runs signal handlers, the answer is false.
using SignalProbe = bool (*)() noexcept;
void set_signal_probe(SignalProbe probe) noexcept;
bool signal_arrived() noexcept;

// True when the sweep whose piece runs on this worker has been told to stop
// (interrupted, or failed elsewhere); long piece bodies check it between
// indices and return early. The partial result is discarded by the sweep.
bool stop_requested();

// Runs `run_piece(k)` for k in [0, pieces) on the pool, claimed in ascending
// order, and returns when all claimed pieces are done. `window` > 0 bounds how
// far claims may run ahead of `frontier` (pieces below it are retired).
// Returns false when the sweep was stopped early by `stop`.
struct SweepControl {
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> frontier{0};
};
void run_pieces(std::size_t pieces, const std::function<void(std::size_t)>& run_piece, SweepControl& control,
                std::size_t window);

// Sum sweep: `body(begin, end)` processes indices [begin, end) in ascending
// order and returns the piece's value; `combine(acc, piece)` folds a piece
// value into the running total, strictly in piece order.
template <class T, class Body, class Combine>
T sum_sweep(std::size_t length, T identity, Body&& body, Combine&& combine, std::uint64_t work = kUnknownWork) {
    const std::size_t pieces = piece_count(length);
    T total = std::move(identity);
    if (pieces == 0) return total;
    if (work < kInlineWork) {
        settle_pool_size();
        for (std::size_t k = 0; k < pieces; ++k)
            combine(total, body(piece_begin(length, pieces, k), piece_begin(length, pieces, k + 1)));
        return total;
    }
    SweepControl control;
    std::mutex fold_mutex;
    std::vector<std::optional<T>> pending(pieces);
    std::size_t next_fold = 0;
    run_pieces(
        pieces,
        [&](std::size_t k) {
            T value = body(piece_begin(length, pieces, k), piece_begin(length, pieces, k + 1));
            std::lock_guard<std::mutex> lock(fold_mutex);
            pending[k].emplace(std::move(value));
            while (next_fold < pieces && pending[next_fold]) {
                combine(total, std::move(*pending[next_fold]));
                pending[next_fold].reset();
                ++next_fold;
            }
            control.frontier.store(next_fold);
        },
        control, 2 * pool_size() + 2);
    return total;
}

// Collect sweep that may fail, with a workspace per piece: each piece calls
// `make_workspace()` once, then `body(i, workspace)` for its indices in
// ascending order. `body` produces item i itself (writing it into a slot of
// the caller's) and returns std::nullopt, or returns a failure. The first
// failure recorded wins; then no further index is started and the failure
// is returned. Recording uses a try-lock: a thread that finds it busy drops
// its own failure, since another one is being recorded. Run on the calling
// thread, one workspace serves every piece (the indices still come in
// ascending order) and the lowest failing index wins.
template <class E, class MakeWorkspace, class Body>
std::optional<E> collect_sweep_with(std::size_t length, MakeWorkspace&& make_workspace, Body&& body,
                                    std::uint64_t work = kUnknownWork) {
    const std::size_t pieces = piece_count(length);
    std::optional<E> failure;
    if (pieces == 0) return failure;
    if (work < kInlineWork) {
        settle_pool_size();
        auto workspace = make_workspace();
        for (std::size_t i = 0; i < length && !failure; ++i) failure = body(i, workspace);
        return failure;
    }
    SweepControl control;
    std::mutex record;
    run_pieces(
        pieces,
        [&](std::size_t k) {
            const std::size_t end = piece_begin(length, pieces, k + 1);
            auto workspace = make_workspace();
            for (std::size_t i = piece_begin(length, pieces, k); i < end; ++i) {
                if (control.stop.load(std::memory_order_relaxed)) return;
                std::optional<E> err = body(i, workspace);
                if (err) {
                    if (record.try_lock()) {
                        if (!failure) failure = std::move(err);
                        record.unlock();
                    }
                    control.stop.store(true);
                    return;
                }
            }
        },
        control, 0);
    return failure;
}

// Collect sweep that may fail: as above, without a workspace; `body(i)`.
template <class E, class Body>
std::optional<E> collect_sweep(std::size_t length, Body&& body, std::uint64_t work = kUnknownWork) {
    return collect_sweep_with<E>(length, [] { return 0; }, [&](std::size_t i, int&) { return body(i); }, work);
}

}  // namespace knotwell::parallel
