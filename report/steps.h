#pragma once

// The writer's steps: those a termination waits for, the retries of a call another program
// refuses for a moment, and the temporary names of the writer's own.

#include "platform/calls.h"
#include "report/termination.h"

#include <cstdint>
#include <functional>
#include <string>

namespace writing {

// What a step refused once a termination came says: no system call failed.
extern const SysResult Ending;

// One of the writer's steps that a termination signal must not cut short, for as long as it lives:
// the process then ends once it is over. Not entered where a termination is pending already.
class GatedStep {
public:
    explicit GatedStep(const SystemCalls &calls) : gate_(calls.terminationGate), entered_(!gate_ || gate_->enter()) {}
    GatedStep(const GatedStep &) = delete;
    GatedStep &operator=(const GatedStep &) = delete;
    ~GatedStep()
    {
        if (gate_ && entered_)
            gate_->leave();
    }
    bool entered() const { return entered_; }

private:
    TerminationGate *const gate_;
    const bool entered_;
};

// Tries call at once, then after each further delay of the schedule while tryAgain says so of its
// outcome and no termination is pending.
SysResult retryOnSchedule(const SystemCalls &calls, const std::function<SysResult()> &call,
                          const std::function<bool(const SysResult &)> &tryAgain);

// Tries call at each delay of the schedule while another program holds the file.
SysResult retryWhileHeld(const SystemCalls &calls, const std::function<SysResult()> &call);

// A temporary name in the result's folder, removed when it goes unless it was renamed away.
class TemporaryName {
public:
    TemporaryName(const ResultPlace &place, const SystemCalls &calls) : place_(place), calls_(calls) {}
    TemporaryName(const TemporaryName &) = delete;
    TemporaryName &operator=(const TemporaryName &) = delete;
    ~TemporaryName()
    {
        if (name_.empty())
            return;
        // Tried again on the writer's schedule: a name left behind would be the user's to clear.
        // Nothing is thrown from here, out of memory included.
        retryOnSchedule(calls_, [this] { return calls_.removeName.unraised(place_, name_); },
                        [](const SysResult &result) { return !result.ok() && result.kind != SysError::Missing; });
    }
    const std::string &name() const { return name_; }
    // Takes name as the file's name in the folder, to remove.
    void hold(const std::string &name) { name_ = name; }
    // The name is the result's now: nothing to remove.
    void release() { name_.clear(); }

private:
    const ResultPlace &place_;
    const SystemCalls &calls_;
    std::string name_;
};

// Gives the new file a free temporary name, trying names until one is free.
SysResult nameTemporary(const std::function<SysResult(const std::string &)> &make, TemporaryName &temporary);

} // namespace writing
