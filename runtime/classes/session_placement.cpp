#include "classes/session_placement.h"

#include <mutex>
#include <utility>

namespace runtime {
namespace {

struct record {
    std::mutex mutex;
    bool made = false;
    session_placement last;
};

// Never destroyed: sessions may be made while the process exits.
record& placements() {
    static record* kept = new record;
    return *kept;
}

}  // namespace

void record_session_placement(session_placement placement) noexcept {
    record& kept = placements();
    std::lock_guard<std::mutex> lock(kept.mutex);
    kept.made = true;
    kept.last = std::move(placement);  // strings move without allocating
}

bool last_session_placement(session_placement& placement) {
    record& kept = placements();
    std::lock_guard<std::mutex> lock(kept.mutex);
    if (!kept.made) return false;
    placement = kept.last;
    return true;
}

}  // namespace runtime
