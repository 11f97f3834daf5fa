#include "parallel/parallel.hpp"

#include "parallel/unwind.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

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

namespace knotwell::parallel {
namespace {

constexpr std::size_t kMaxPieces = 256;
constexpr std::size_t kMaxWorkers = 65535;
// The poll hook of the calling thread, its interval and when it last ran;
// on a worker, the stop flag of the sweep whose piece it runs.
thread_local std::function<bool()> tls_poll;
thread_local std::chrono::nanoseconds tls_poll_interval = kPollInterval;
thread_local std::chrono::steady_clock::time_point tls_last_poll{};
thread_local const std::atomic<bool>* tls_stop = nullptr;

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

// Whether a thread stack of the default size still fits in the address
// space. pthread_create reports a failed stack mapping and a thread limit
// alike (EAGAIN), so the failure is told apart by trying the mapping.
bool thread_stack_fits() {
    std::size_t stack = std::size_t{8} << 20;
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) == 0) {
        std::size_t size = 0;
        if (pthread_attr_getstacksize(&attr, &size) == 0 && size > 0) stack = size;
        pthread_attr_destroy(&attr);
    }
    void* probe = mmap(nullptr, stack, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (probe == MAP_FAILED) return false;
    munmap(probe, stack);
    return true;
}

[[noreturn]] void thread_start_failed(const std::system_error& e) {
    if (!thread_stack_fits()) throw std::bad_alloc();
    throw ThreadStartFailed(std::string("could not start a worker thread: ") + e.code().message());
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
        for (std::size_t i = 0; i < workers; ++i) {
            try {
                std::thread(&Pool::work, this).detach();
                ++size_;
            } catch (const std::system_error& e) {
                if (size_ == 0) thread_start_failed(e);
                break;
            }
        }
    }

    std::size_t size() const { return size_; }

    void run(Job& job, const std::function<bool()>& poll, std::chrono::nanoseconds interval) {
        std::unique_lock<std::mutex> lock(mutex_);
        jobs_.push_back(&job);
        work_cv_.notify_all();
        bool interrupted = false;
        std::exception_ptr poll_error;
        while (!job.complete()) {
            if (poll && !interrupted) {
                job.done_cv.wait_for(lock, interval);
                if (job.complete()) break;
                lock.unlock();
                // A throwing hook must not unwind past the queued job: the
                // workers still point at it.
                bool stop = true;
                try {
                    stop = poll();
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

Pool& pool() {
    if (Pool* p = instance.load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(creation_mutex);
    if (Pool* p = instance.load(std::memory_order_acquire)) return *p;
    if (fixed_size == 0) {
        fixed_size = configured_pool_size();
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    }
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

std::size_t pool_size() { return pool().size(); }

bool stop_requested() { return tls_stop != nullptr && tls_stop->load(std::memory_order_relaxed); }

std::size_t piece_count(std::size_t length) { return length < kMaxPieces ? length : kMaxPieces; }

PollScope::PollScope(std::function<bool()> poll, std::chrono::nanoseconds interval)
    : previous_(std::move(tls_poll)), previous_interval_(tls_poll_interval) {
    tls_poll = std::move(poll);
    tls_poll_interval = interval;
}
PollScope::~PollScope() {
    tls_poll = std::move(previous_);
    tls_poll_interval = previous_interval_;
}

void InterruptPoll::due() {
    budget_ = kStride;
    if (tls_stop != nullptr) {
        if (tls_stop->load(std::memory_order_relaxed)) throw Interrupted();
        return;
    }
    if (!tls_poll) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - tls_last_poll < tls_poll_interval) return;
    tls_last_poll = now;
    if (tls_poll()) throw Interrupted();
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
    p.run(job, tls_poll, tls_poll_interval);
}

}  // namespace knotwell::parallel
