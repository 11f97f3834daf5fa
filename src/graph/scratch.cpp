#include "graph/scratch.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <array>
#include <mutex>
#include <new>

namespace knotwell::scratch {
namespace {

struct Block {
    void* p = nullptr;
    std::size_t bytes = 0;
};

// kMaxBytes, capped by the machine's memory and the environment.
std::size_t configured_limit() {
    std::size_t limit = kMaxBytes;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) limit = std::min(limit, static_cast<std::size_t>(pages) / 256 * page);
    if (const char* text = std::getenv("KNOTWELL_SCRATCH_CACHE"); text != nullptr && *text != '\0') {
        std::size_t value = 0;
        bool number = true;
        for (const char* c = text; *c != '\0' && number; ++c) {
            number = *c >= '0' && *c <= '9' && value <= (kMaxBytes - (*c - '0')) / 10;
            if (number) value = value * 10 + static_cast<std::size_t>(*c - '0');
        }
        // A number at or above the cap leaves the cap; anything else is ignored.
        if (number) limit = std::min(limit, value);
    }
    return limit;
}

struct Cache {
    std::mutex lock;
    const std::size_t limit = configured_limit();
    std::array<Block, kMaxBlocks> blocks{};  // oldest first; the first `count` are used
    std::size_t count = 0;
    std::size_t bytes = 0;

    // Removes block i, keeping the others in age order; returns its pointer.
    void* remove(std::size_t i) {
        void* p = blocks[i].p;
        bytes -= blocks[i].bytes;
        for (std::size_t j = i + 1; j < count; ++j) blocks[j - 1] = blocks[j];
        --count;
        return p;
    }
};

Cache& cache();

Cache* make_cache() {
    Cache* c = new Cache;  // never destroyed: see the header
    // A fork while another thread holds the lock would leave the child's
    // copy locked for good: the lock is held across the fork instead.
    pthread_atfork([] { cache().lock.lock(); }, [] { cache().lock.unlock(); }, [] { cache().lock.unlock(); });
    return c;
}

Cache& cache() {
    static Cache* c = make_cache();
    return *c;
}

}  // namespace

void* take(std::size_t bytes) {
    if (bytes >= kMinBytes) {
        Cache& c = cache();
        std::lock_guard<std::mutex> guard(c.lock);
        for (std::size_t i = c.count; i-- > 0;)
            if (c.blocks[i].bytes == bytes) return c.remove(i);
    }
    return ::operator new(bytes);
}

void give(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < kMinBytes || bytes > cache().limit) {
        ::operator delete(p);
        return;
    }
    void* evicted[kMaxBlocks];
    std::size_t n_evicted = 0;
    {
        Cache& c = cache();
        std::lock_guard<std::mutex> guard(c.lock);
        while (c.count == kMaxBlocks || c.bytes + bytes > c.limit) evicted[n_evicted++] = c.remove(0);
        c.blocks[c.count++] = {p, bytes};
        c.bytes += bytes;
    }
    for (std::size_t i = 0; i < n_evicted; ++i) ::operator delete(evicted[i]);
}

void release() noexcept {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    while (c.count > 0) ::operator delete(c.remove(0));
}

std::size_t limit_bytes() noexcept { return cache().limit; }

std::size_t held_bytes() noexcept {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.bytes;
}

}  // namespace knotwell::scratch
