// Interrupt checks for long loops.
//
// A loop that can run for more than a few milliseconds counts its work on an
// `InterruptPoll` (one unit is roughly one memory access, a few nanoseconds).
// The count costs a subtraction and a rarely taken branch; every kStride
// units the clock is read, and once the thread's poll interval has passed
// since its last poll, the hook that a `PollScope` installed on this thread
// runs (at the module boundary: the interpreter's signal check). When the
// hook asks to stop, or a cancel scope open on the thread has been cancelled
// (parallel/cancel.hpp, checked at every stride), `Interrupted` is thrown and
// the loop's owners unwind and free what they hold. On a pool worker the hook
// is the stop flag of the sweep whose piece it runs: the piece ends early and
// the sweep, which discards it anyway, goes on to its own outcome. With no
// hook and no cancel scope nothing stops.
//
// Polls never touch the loop's data, so a call that is not interrupted gives
// bit-identical results.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <vector>

namespace knotwell::parallel {

// Thrown where a poll hook asked to stop.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "sweep interrupted"; }
};

class InterruptPoll {
  public:
    static constexpr std::int64_t kStride = std::int64_t{1} << 15;

    // Counts `units` of work done since the last call.
    void tick(std::uint64_t units = 1) {
        budget_ -= static_cast<std::int64_t>(units);
        if (budget_ < 0) [[unlikely]]
            due();
    }

  private:
    void due();  // throws Interrupted

    std::int64_t budget_ = kStride;
};

// Grows `v` to `size` elements of `value`, a slice at a time with a poll
// between slices: tables that can run to gigabytes are filled so (the
// capacity is reserved first, so no slice moves the earlier ones).
// Without `value` the elements are value-initialised (a plain clear of the
// memory, cheaper than copying a zero into each).
template <class T, class... Value>
void resize_polled(std::vector<T>& v, std::uint64_t size, const Value&... value) {
    static_assert(sizeof...(Value) <= 1);
    constexpr std::uint64_t kSlice = std::uint64_t{1} << 16;
    v.reserve(size);
    for (InterruptPoll poll; v.size() < size; poll.tick(kSlice))
        v.resize(std::min<std::uint64_t>(size, v.size() + kSlice), value...);
}

}  // namespace knotwell::parallel
