#include "memory/page_locking.h"

#include <atomic>

namespace runtime {
namespace {

// Memory locked for any context, so that whichever the session uses sees it
// locked (cudaHostRegisterPortable).
constexpr unsigned lock_for_every_context = 1;

std::atomic<lock_pages_function> lock_with{nullptr};
// Kept once set: a buffer locked earlier must be unlocked by the same runtime.
std::atomic<unlock_pages_function> unlock_with{nullptr};

}  // namespace

void enable_page_locking(lock_pages_function lock, unlock_pages_function unlock) noexcept {
    if (unlock != nullptr) unlock_with.store(unlock);
    lock_with.store(unlock != nullptr ? lock : nullptr);
}

bool lock_pages(void* data, size_t bytes) noexcept {
    const lock_pages_function lock = lock_with.load();
    if (lock == nullptr) return false;
    if (lock(data, bytes, lock_for_every_context) == 0) return true;
    lock_with.store(nullptr);
    return false;
}

void unlock_pages(void* data) noexcept {
    if (const unlock_pages_function unlock = unlock_with.load()) unlock(data);
}

}  // namespace runtime
