#include "parallel/parallel.hpp"

#include "parallel/unwind.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "parallel/cancel.hpp"

namespace knotwell::parallel {
namespace {

constexpr std::size_t kMaxPieces = 256;
constexpr std::size_t kMaxWorkers = 65535;
// The poll scope of the calling thread and when its hook last ran (steady
// clock, nanoseconds); on a worker, the stop flag of the sweep whose piece it
// runs. Plain values in the static TLS block (initial-exec), made with each
// thread: a thread never allocates them on first touch, which glibc cannot
// fail gracefully (it aborts the process).
#define KNOTWELL_STATIC_TLS thread_local __attribute__((tls_model("initial-exec")))
KNOTWELL_STATIC_TLS PollScope* tls_scope = nullptr;
KNOTWELL_STATIC_TLS std::int64_t tls_last_poll = 0;
KNOTWELL_STATIC_TLS const std::atomic<bool>* tls_stop = nullptr;
#undef KNOTWELL_STATIC_TLS

std::atomic<SignalProbe> signal_probe{nullptr};

std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Unsigned decimal, optionally after one '+', within 64 bits; anything else
// (sign, blanks, empty, overflow) is not a number.
std::optional<std::uint64_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::string_view s(text);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t logical_processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

// glibc's malloc gives threads that allocate at the same time arenas of
// their own, each reserving kArenaReserve of address space, up to 8 per
// processor unless MALLOC_ARENA_MAX says otherwise; busy workers soon make
// them all.
constexpr std::size_t kArenaReserve = std::size_t{64} << 20;

std::size_t arena_limit() {
    if (auto v = parse_count(std::getenv("MALLOC_ARENA_MAX")); v && *v > 0 && *v < kMaxWorkers) return *v;
    const int online = get_nprocs();
    return 8 * static_cast<std::size_t>(online > 0 ? online : 1);
}

// Whether worker number `k` (from 0) can start and leave room to spare: its
// stack, the arenas that k + 1 workers may make, and kSpareAddressSpace
// must fit at once. The probe reserves nothing: it is unmapped at once, and
// only address space (not memory) is asked for.
bool room_for_worker(std::size_t k, std::size_t arenas) {
    const std::size_t probe = kWorkerStack + kSpareAddressSpace + kArenaReserve * std::min(k + 1, arenas);
    void* p = mmap(nullptr, probe, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    munmap(p, probe);
    return true;
}

struct Job {
    std::size_t pieces = 0;
    std::size_t window = 0;
    const std::function<void(std::size_t)>* run = nullptr;
    SweepControl* control = nullptr;
    std::size_t next = 0;      // next piece to hand out (pool mutex)
    std::size_t finished = 0;  // pieces done (pool mutex)
    bool closed = false;       // no more pieces will be handed out (pool mutex)
    std::exception_ptr error;  // first exception thrown by a piece (pool mutex)
    std::condition_variable done_cv;

    bool claimable() const {
        if (closed || next >= pieces) return false;
        return window == 0 || next < control->frontier.load() + window;
    }
    bool complete() const { return (closed || next >= pieces) && finished == next; }
};

class Pool {
  public:
    // A pool that could start only some of its workers keeps those (results
    // do not depend on the pool size); one that could start none fails, and
    // the next sweep tries again.
    explicit Pool(std::size_t workers) {
        pthread_attr_t attr;
        if (int rc = pthread_attr_init(&attr); rc != 0) throw ThreadStartFailed(start_failure(rc));
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, kWorkerStack);
        const std::size_t arenas = arena_limit();
        int rc = 0;
        for (std::size_t i = 0; i < workers; ++i) {
            if (!room_for_worker(i, arenas)) break;
            pthread_t thread;
            rc = pthread_create(&thread, &attr, &Pool::start_worker, this);
            if (rc != 0) break;
            ++size_;
        }
        pthread_attr_destroy(&attr);
        if (size_ > 0) return;
        // pthread_create reports a failed stack mapping and a limit on
        // threads alike (EAGAIN): the probe tells them apart.
        if (rc == 0 || !room_for_worker(0, arenas)) throw WorkersOutOfMemory();
        throw ThreadStartFailed(start_failure(rc));
    }

    std::size_t size() const { return size_; }

    // `scope` is the caller's poll scope, if any; `cancellable`, whether the
    // caller has a cancel scope open.
    void run(Job& job, const PollScope* scope, bool cancellable) {
        const std::chrono::nanoseconds interval = scope != nullptr ? scope->interval() : kPollInterval;
        std::unique_lock<std::mutex> lock(mutex_);
        jobs_.push_back(&job);
        work_cv_.notify_all();
        bool interrupted = false;
        std::exception_ptr poll_error;
        while (!job.complete()) {
            if ((scope != nullptr || cancellable) && !interrupted) {
                job.done_cv.wait_for(lock, interval);
                if (job.complete()) break;
                lock.unlock();
                // A throwing hook must not unwind past the queued job: the
                // workers still point at it.
                bool stop = true;
                try {
                    stop = cancel_requested() || (scope != nullptr && scope->poll());
                }
#if KNOTWELL_TYPED_FORCED_UNWIND
                catch (abi::__forced_unwind&) {
                    // The interpreter is ending this thread (a daemon thread
                    // retaking the lock at exit). The unwind must go on, but
                    // not before the workers are done with the job and with
                    // the caller's data on this stack.
                    lock.lock();
                    abandon(job, lock);
                    throw;
                }
#endif
                catch (...) {
                    poll_error = std::current_exception();
                }
                lock.lock();
                if (stop) {
                    interrupted = true;
                    job.closed = true;
                    job.control->stop.store(true);
                }
            } else {
                job.done_cv.wait(lock);
            }
        }
        std::erase(jobs_, &job);
        if (job.error) std::rethrow_exception(job.error);
        if (poll_error) std::rethrow_exception(poll_error);
        if (interrupted) throw Interrupted();
    }

    // Stops handing out pieces of `job`, waits for the running ones and
    // forgets the job; `lock` holds `mutex_`.
    void abandon(Job& job, std::unique_lock<std::mutex>& lock) {
        job.closed = true;
        job.control->stop.store(true);
        while (!job.complete()) job.done_cv.wait(lock);
        std::erase(jobs_, &job);
    }

    // Wakes workers that wait for a sum sweep's window to move.
    void frontier_moved() {
        std::lock_guard<std::mutex> lock(mutex_);
        work_cv_.notify_all();
    }

  private:
    static std::string start_failure(int rc) {
        return std::string("could not start a worker thread: ") + std::system_category().message(rc);
    }

    static void* start_worker(void* pool) {
        // The C++ runtime's per-thread exception state lives in a library
        // loaded with the module, whose TLS glibc allocates on first touch
        // and cannot fail gracefully: touched here, right after the start
        // made sure of spare room, rather than at the first exception a
        // piece throws under memory pressure.
        (void)std::uncaught_exceptions();
        static_cast<Pool*>(pool)->work();
        return nullptr;
    }

    Job* find_claimable() {
        for (Job* job : jobs_)
            if (job->claimable()) return job;
        return nullptr;
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            Job* job = find_claimable();
            if (job == nullptr) {
                work_cv_.wait(lock);
                continue;
            }
            const std::size_t k = job->next++;
            lock.unlock();
            std::exception_ptr error;
            tls_stop = &job->control->stop;
            try {
                (*job->run)(k);
            } catch (const Interrupted&) {
                // The piece saw the sweep's stop flag and ended early.
            } catch (...) {
                error = std::current_exception();
            }
            tls_stop = nullptr;
            lock.lock();
            ++job->finished;
            if (error && !job->error) job->error = error;
            if (error || job->control->stop.load()) job->closed = true;
            if (job->complete()) job->done_cv.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_cv_;
    std::deque<Job*> jobs_;
    std::size_t size_ = 0;
};

// The pool is never destroyed: detached workers may still wait on it at
// process exit. A forked child inherits the pool object but none of its
// threads, so the child forgets it and builds its own on its first sweep,
// with the size fixed by the parent's first sweep.
std::atomic<Pool*> instance{nullptr};
std::size_t fixed_size = 0;  // guarded by creation_mutex
std::mutex creation_mutex;

void forget_pool_in_child() {
    // Only the forking thread exists now; the mutex may have been held by a
    // thread that is gone, so it is made afresh.
    new (&creation_mutex) std::mutex();
    instance.store(nullptr);
}

std::atomic<bool> size_settled{false};

// With creation_mutex held.
void settle_size_locked() {
    if (fixed_size == 0) {
        fixed_size = configured_pool_size();
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        size_settled.store(true, std::memory_order_release);
    }
}

Pool& pool() {
    if (Pool* p = instance.load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(creation_mutex);
    if (Pool* p = instance.load(std::memory_order_acquire)) return *p;
    settle_size_locked();
    Pool* p = new Pool(fixed_size);
    instance.store(p, std::memory_order_release);
    return *p;
}

}  // namespace

std::size_t configured_pool_size() {
    std::size_t size = 0;
    if (auto v = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
        size = *v > kMaxWorkers ? kMaxWorkers : static_cast<std::size_t>(*v);
    } else if (auto w = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); w && *w > 0) {
        size = *w > kMaxWorkers ? kMaxWorkers : static_cast<std::size_t>(*w);
    }
    if (size == 0) size = logical_processors();
    return size > kMaxWorkers ? kMaxWorkers : size;
}

void settle_pool_size() {
    if (size_settled.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(creation_mutex);
    settle_size_locked();
}

std::size_t pool_size() { return pool().size(); }

bool stop_requested() { return tls_stop != nullptr && tls_stop->load(std::memory_order_relaxed); }

std::size_t piece_count(std::size_t length) { return length < kMaxPieces ? length : kMaxPieces; }

PollScope::PollScope(std::function<bool()> poll, std::chrono::nanoseconds interval)
    : poll_(std::move(poll)), interval_(interval), previous_(tls_scope) {
    tls_scope = this;
}
PollScope::~PollScope() { tls_scope = previous_; }

void set_signal_probe(SignalProbe probe) noexcept { signal_probe.store(probe); }

bool signal_arrived() noexcept {
    const SignalProbe probe = signal_probe.load(std::memory_order_relaxed);
    return probe != nullptr && probe();
}

void InterruptPoll::due() {
    budget_ = kStride;
    if (tls_stop != nullptr) {
        if (tls_stop->load(std::memory_order_relaxed)) throw Interrupted();
        return;
    }
    if (cancel_requested()) throw Interrupted();
    const PollScope* scope = tls_scope;
    if (scope == nullptr) return;
    const std::int64_t now = steady_ns();
    if (now - tls_last_poll < scope->interval().count()) return;
    tls_last_poll = now;
    if (scope->poll()) throw Interrupted();
}

void run_pieces(std::size_t pieces, const std::function<void(std::size_t)>& run_piece, SweepControl& control,
                std::size_t window) {
    if (pieces == 0) return;
    Pool& p = pool();
    std::function<void(std::size_t)> wrapped;
    const std::function<void(std::size_t)>* run = &run_piece;
    if (window > 0) {
        // Retiring a piece may open the window for a waiting worker.
        wrapped = [&](std::size_t k) {
            run_piece(k);
            p.frontier_moved();
        };
        run = &wrapped;
    }
    Job job;
    job.pieces = pieces;
    job.window = window;
    job.run = run;
    job.control = &control;
    p.run(job, tls_scope, cancel_scope_open());
}

}  // namespace knotwell::parallel
