#pragma once

// The termination policy: what a termination signal waits for before it ends the process, and how
// the work hears that its result is no longer wanted. The signals themselves are the platform's
// (platform/signals.h); it reaches this only through the hooks made here.

#include "platform/signals.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

// What a termination signal waits for before it ends the process: the writer's steps that must
// not be cut short (from making a file or name to its rename or removal; from emptying a file to
// its last byte). Once a termination is pending no step begins, and the writer's waits end early.
class TerminationGate {
public:
    // Enters a step; false, entering none, once a termination is pending.
    bool enter()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (isPending())
            return false;
        if (entered_++ == 0 && hold_.hold)
            hold_.hold(true);
        return true;
    }
    // True once a termination is pending: the work may stop there, its result no longer wanted.
    bool isEnding()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return isPending();
    }
    // Leaves a step entered.
    void leave()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (--entered_ == 0 && hold_.hold)
            hold_.hold(false);
        changed_.notify_all();
    }
    // Sleeps for ms milliseconds; false, at once, when a termination is or becomes pending.
    bool sleepUnlessEnding(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (isPending())
            return false;
        if (hold_.wait && entered_ > 0) {
            ending_ = ending_ || !hold_.wait(ms);
            return !ending_;
        }
        return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ending_; });
    }
    // Makes a termination pending and waits, at most bound, until no step is entered. The bound is
    // counted in slices of the time the process runs: a stop (SIGSTOP, a debugger) does not run it
    // down.
    void waitForSteps(std::chrono::milliseconds bound)
    {
        using namespace std::chrono;
        const milliseconds slice(50);
        std::unique_lock<std::mutex> lock(mutex_);
        ending_ = true;
        changed_.notify_all();
        for (milliseconds counted(0); entered_ != 0 && counted < bound;) {
            const auto before = steady_clock::now();
            changed_.wait_for(lock, slice, [this] { return entered_ == 0; });
            counted += std::min(duration_cast<milliseconds>(steady_clock::now() - before), 2 * slice);
        }
    }
    // Holds terminations off on this thread alone from now on, as hold says; empty undoes it.
    void holdOnThisThread(const TerminationHold &hold)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        hold_ = hold;
    }
    // Counts as pending, from now on, a termination that came says came (one the system holds for
    // the process or the asking thread, or one already taken), however soon after it came.
    void countAsCome(const std::function<bool()> &came)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        came_ = came;
    }

private:
    // True once a termination is pending; the mutex is held.
    bool isPending()
    {
        ending_ = ending_ || (came_ && came_());
        return ending_;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool ending_ = false;
    TerminationHold hold_;
    std::function<bool()> came_;
};

// Returns the hooks the platform's taking thread calls gate through; they keep gate alive.
inline TerminationHooks hooksOf(const std::shared_ptr<TerminationGate> &gate)
{
    return {[gate](const std::function<bool()> &came) { gate->countAsCome(came); },
            [gate](const TerminationHold &hold) { gate->holdOnThisThread(hold); },
            [gate](std::chrono::milliseconds bound) { gate->waitForSteps(bound); }};
}
