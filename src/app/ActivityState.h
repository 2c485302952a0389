#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>

namespace cleftone {

/// What a strip run and an intake walk share: only one of them holds the window at a time, and
/// Stop (or quitting) cancels whichever it is.
///
/// Threads: written on the main thread; `cancelled` is also read by the walker's thread.
struct ActivityState {
    /// A run or a walk holds the window; list edits, drops and Add Files wait.
    std::atomic<bool> running{false};
    /// Stop was pressed (or the window is going) since the run or walk started.
    std::atomic<bool> cancelled{false};
};

/// The longest single task the window's handlers spent on the main thread since the last
/// reset; read by benchmarks. Main thread only.
class TaskMeter {
public:
    void note(std::chrono::steady_clock::time_point start)
    {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        longest_ =
            std::max(longest_, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed));
    }
    std::chrono::nanoseconds longest() const { return longest_; }
    void reset() { longest_ = {}; }

private:
    std::chrono::nanoseconds longest_{};
};

} // namespace cleftone
