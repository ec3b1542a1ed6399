#pragma once

// The process: its arguments and rights, program search and the detached start, threads, signals
// and the termination gate, standard streams, and how files and libraries are found.

#include "platform/types.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// True when the process has more rights than an ordinary user: root (effective user 0) on POSIX,
// an elevated token on Windows.
bool runsElevated();

// Sleeps for ms milliseconds.
void sleepMilliseconds(int ms);

// Returns the process's arguments as given: argv's bytes on POSIX, the wide command line split
// by the system's rules on Windows. argv must be read before any framework changes it.
std::vector<std::string> commandLineArguments(int argc, char **argv);

// Returns the folder of the helper's own program file, ending in a separator; empty when unknown.
std::string ownProgramFolder();

// Returns the folders of the system's program search path (PATH), in order, as written there.
std::vector<std::string> programSearchFolders();

// True when path is absolute: it names the same file whatever the current folder.
bool isAbsolutePath(const std::string &path);

// True when path names an existing file that the system could start as a program.
bool isProgramFile(const std::string &path);

// Starts the program file at path detached and clean: in its own folder, holding none of the
// helper's handles (its standard streams on the null device), with every signal's default action
// and none blocked (POSIX); true when it started.
bool startDetached(const std::string &path);

// How terminations are held off on the one thread there is, where no other waits for them: hold
// (true as the first step begins, false as the last ends, which ends the process when one came
// meanwhile) and wait, a sleep inside a step that is false when one came. Empty where a thread waits.
struct TerminationHold {
    std::function<void(bool)> hold;
    std::function<bool(int)> wait;
};

// What a termination signal waits for before it ends the process: the writer's steps that must
// not be cut short (from making a file or name to its rename or removal; from emptying a file to
// its last byte). Once a termination is pending no step begins, and the writer's waits end early.
class TerminationGate {
public:
    // Enters a step; false, entering none, once a termination is pending.
    bool enter()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (hasCome())
            return false;
        if (entered_++ == 0 && hold_.hold)
            hold_.hold(true);
        return true;
    }
    // True once a termination is pending: the work may stop there, its result no longer wanted.
    bool isEnding()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return hasCome();
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
        if (hasCome())
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
    bool hasCome()
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

// Sets what signals do for the whole run: a write to a closed pipe or past the file size limit
// fails with an error instead of ending the process. Nothing on Windows.
void prepareSignals();

// Runs work, on this thread where its stack may grow to stackBytes (else on a new one of that
// stack), while another thread takes every signal from outside whose default action ends the
// process (TERM, INT, HUP, QUIT, USR1, ALRM, XCPU, the real-time ones...; those the caller ignored
// or blocked stay so): one ends the process as it would have, once gate has no step entered; the
// taking thread stays until the process ends. Where the system gives no thread, work runs on this
// one, holding them off over each step; false, having run nothing, where this one's stack may be
// smaller than stackBytes (its limit is). Windows, whose GUI programs get no such signals, only runs it.
bool runUntilTerminated(std::size_t stackBytes, const std::function<void()> &work, const std::shared_ptr<TerminationGate> &gate);

// Writes text and a line end on the standard error stream (where Windows gives a GUI program none,
// to the debugger's output, as Qt's messages go) without taking any memory: what must be said once
// memory has run out.
void writeErrorLine(const char *text);

// Puts the null device on each standard stream (input, output, error) the caller left closed, so
// that no file the helper opens takes its number and gets what is printed or logged. Nothing on
// Windows, whose handles are no small numbers.
void keepStandardStreamsOpen();

// Makes the system show the process every file as it is stored: a cloud file that is kept online
// as the placeholder it is, which Windows may otherwise disguise (Windows 10 1803 and later, where
// the call exists); nothing to do elsewhere.
void showFilesAsStored();

// Makes the system answer a hard error (a drive without its medium, a file that cannot be opened,
// a crash) with an error code or the process's end, never a dialog that waits for someone to click
// (Windows); nothing to do where the system shows none.
void silenceErrorDialogs();

// Makes libraries loaded from now on come from the system's own folder only, never from the
// program's folder or the current one (Windows); nothing to do where the system has no such search.
void restrictLibrarySearch();

// Starts work on a new thread with a stack of stackBytes; false when the system refused it. A
// termination signal held for that thread alone as it ends goes to the process, never lost with
// it. The thread must be joined with joinThread.
bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread);

// Waits for a thread started by startThread to end, and releases it.
void joinThread(NativeHandle thread);

// Lets a thread started by startThread run on unjoined; the system releases it when it ends.
void detachThread(NativeHandle thread);
