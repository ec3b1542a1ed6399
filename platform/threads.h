#pragma once

// Threads of a stack size of the caller's.

#include "platform/types.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

// Starts work on a new thread with a stack of stackBytes; false when the system refused it. A
// termination signal held for that thread alone as it ends goes to the process, never lost with
// it. The thread must be joined with joinThread.
bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread);

// Waits for a thread started by startThread to end, and releases it.
void joinThread(NativeHandle thread);

// Lets a thread started by startThread run on unjoined; the system releases it when it ends.
void detachThread(NativeHandle thread);

// Threads of one stack size, each running its own work, every one joined when the group goes,
// however the caller's work ends.
class ThreadGroup {
public:
    explicit ThreadGroup(std::size_t stackBytes) : stackBytes_(stackBytes) {}
    ThreadGroup(const ThreadGroup &) = delete;
    ThreadGroup &operator=(const ThreadGroup &) = delete;
    ~ThreadGroup()
    {
        for (NativeHandle thread : threads_)
            joinThread(thread);
    }
    // Starts work on a new thread; false when the system gives none.
    bool start(std::function<void()> work)
    {
        // Room first: once a thread runs, nothing may fail before it is kept for joining. A
        // deque's elements never move, so a running thread's work stays where it was.
        threads_.reserve(threads_.size() + 1);
        work_.push_back(std::move(work));
        NativeHandle thread;
        if (!startThread(stackBytes_, &work_.back(), thread)) {
            work_.pop_back();
            return false;
        }
        threads_.push_back(thread);
        return true;
    }

private:
    const std::size_t stackBytes_;
    std::deque<std::function<void()>> work_;
    std::vector<NativeHandle> threads_;
};
