#include "graph/scratch.hpp"

#include <pthread.h>

#include <array>
#include <mutex>
#include <new>

namespace knotwell::scratch {
namespace {

struct Block {
    void* p = nullptr;
    std::size_t bytes = 0;
};

struct Cache {
    std::mutex lock;
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
    if (bytes < kMinBytes || bytes > kMaxBytes) {
        ::operator delete(p);
        return;
    }
    void* evicted[kMaxBlocks];
    std::size_t n_evicted = 0;
    {
        Cache& c = cache();
        std::lock_guard<std::mutex> guard(c.lock);
        while (c.count == kMaxBlocks || c.bytes + bytes > kMaxBytes) evicted[n_evicted++] = c.remove(0);
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

}  // namespace knotwell::scratch
