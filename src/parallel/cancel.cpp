#include "parallel/cancel.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <unordered_map>

namespace knotwell::parallel {
namespace {

struct CancelCell {
    std::atomic<bool> cancelled{false};
    std::uint64_t token = 0;
    CancelCell* outer = nullptr;  // the scope this one was opened inside
};

// The innermost open scope of this thread. Initial-exec: the variable lives
// in the static TLS block made with the thread, so no thread allocates it on
// first use (glibc aborts when that allocation fails).
thread_local CancelCell* tls_cancel __attribute__((tls_model("initial-exec"))) = nullptr;

// Open scopes by token, for `cancel` from other threads. Never destroyed:
// threads may still close scopes while the process exits.
struct Registry {
    std::mutex mutex;
    std::unordered_map<std::uint64_t, CancelCell*> open;
    std::uint64_t next_token = 1;
};
Registry* registry = nullptr;
std::once_flag registry_made;

void forget_lock_in_child() {
    // The forking thread is the only one left; the mutex may have been held
    // by a thread that is gone. Scopes of those threads stay registered and
    // can still be cancelled, to no effect.
    new (&registry->mutex) std::mutex();
}

Registry* get_registry() noexcept {
    try {
        std::call_once(registry_made, [] {
            registry = new Registry();
            pthread_atfork(nullptr, nullptr, forget_lock_in_child);
        });
    } catch (...) {
        return nullptr;
    }
    return registry;
}

}  // namespace

std::uint64_t enter_cancel_scope() noexcept {
    Registry* r = get_registry();
    if (r == nullptr) return 0;
    auto* cell = new (std::nothrow) CancelCell();
    if (cell == nullptr) return 0;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        cell->token = r->next_token;
        try {
            r->open.emplace(cell->token, cell);
        } catch (...) {
            delete cell;
            return 0;
        }
        ++r->next_token;
    }
    cell->outer = tls_cancel;
    tls_cancel = cell;
    return cell->token;
}

bool cancel(std::uint64_t token) noexcept {
    Registry* r = get_registry();
    if (r == nullptr) return false;
    std::lock_guard<std::mutex> lock(r->mutex);
    const auto it = r->open.find(token);
    if (it == r->open.end()) return false;
    it->second->cancelled.store(true, std::memory_order_relaxed);
    return true;
}

bool exit_cancel_scope(std::uint64_t token) noexcept {
    CancelCell* cell = tls_cancel;
    if (cell == nullptr || cell->token != token) return false;
    {
        // Erased under the lock before it is freed: a concurrent `cancel`
        // either finds the cell alive or does not find it.
        std::lock_guard<std::mutex> lock(registry->mutex);
        registry->open.erase(token);
    }
    tls_cancel = cell->outer;
    delete cell;
    return true;
}

bool cancel_scope_open() noexcept { return tls_cancel != nullptr; }

bool cancel_requested() noexcept {
    for (const CancelCell* c = tls_cancel; c != nullptr; c = c->outer)
        if (c->cancelled.load(std::memory_order_relaxed)) [[unlikely]]
            return true;
    return false;
}

}  // namespace knotwell::parallel
