#pragma once

// Termination signals: the thread that takes them while the mode runs, and how it holds them off
// where there is one thread only. What they wait for is the policy's (report/termination.h).

#include "platform/types.h"

#include <chrono>
#include <cstddef>
#include <functional>

// How terminations are held off on the one thread there is, where no other waits for them: hold
// (true as the first step begins, false as the last ends, which ends the process when one came
// meanwhile) and wait, a sleep inside a step that is false when one came. Empty where a thread waits.
struct TerminationHold {
    std::function<void(bool)> hold;
    std::function<bool(int)> wait;
};

// What the thread that takes terminations asks of the policy above (report/termination.h), kept
// for as long as that thread lives: countAsCome, to count as pending from now on a termination that
// came says came; holdOnThisThread, to hold them off on the one thread there is as hold says (empty
// undoes it); waitForSteps, to make one pending and wait, at most bound, until no step is entered.
struct TerminationHooks {
    std::function<void(const std::function<bool()> &)> countAsCome;
    std::function<void(const TerminationHold &)> holdOnThisThread;
    std::function<void(std::chrono::milliseconds)> waitForSteps;
};

// Sets what signals do for the whole run: a write to a closed pipe or past the file size limit
// fails with an error instead of ending the process. Nothing on Windows.
void prepareSignals();

// Runs work, on this thread where its stack may grow to stackBytes (else on a new one of that
// stack), while another thread takes every signal from outside whose default action ends the
// process (TERM, INT, HUP, QUIT, USR1, ALRM, XCPU, the real-time ones...; those the caller ignored
// or blocked stay so): one ends the process as it would have, once hooks say no step is entered; the
// taking thread stays until the process ends. Where the system gives no thread, work runs on this
// one, holding them off over each step; false, having run nothing, where this one's stack may be
// smaller than stackBytes (its limit is). Windows, whose GUI programs get no such signals, only runs it.
bool runUntilTerminated(std::size_t stackBytes, const std::function<void()> &work, const TerminationHooks &hooks);

// Sends on to the process every termination signal the system holds for the calling thread, so
// that the taking thread takes it: a thread's own pending signals would go with it. Nothing on
// Windows.
void passOnTerminations();
