#pragma once

// The process: its arguments and rights, program search and the detached start, threads, signals
// and the termination gate, standard streams, and how files and libraries are found.

#include "platform/types.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
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

// What a termination signal waits for before it ends the process: the writer's steps that must
// not be cut short (from making a file or name to its rename or removal; from emptying a file to
// its last byte). Once a termination is pending no step begins, and the writer's waits end early.
class TerminationGate {
public:
    // Enters a step; false, entering none, once a termination is pending.
    bool enter()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        entered_ += ending_ ? 0 : 1;
        return !ending_;
    }
    // Leaves a step entered.
    void leave()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        --entered_;
        changed_.notify_all();
    }
    // Sleeps for ms milliseconds; false, at once, when a termination is or becomes pending.
    bool sleepUnlessEnding(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ending_; });
    }
    // Makes a termination pending and waits, at most bound, until no step is entered.
    void waitForSteps(std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ending_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, bound, [this] { return entered_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool ending_ = false;
};

// Sets what signals do for the whole run: a write to a closed pipe or past the file size limit
// fails with an error instead of ending the process. Nothing on Windows.
void prepareSignals();

// Runs work on a new thread with a stack of stackBytes and waits for it to end, while this thread
// takes SIGTERM, SIGINT, SIGHUP and SIGQUIT (those the caller ignored stay ignored): one ends the
// process as it would have, once gate has no step entered. Where the system gives no thread, work
// runs on this one. Windows, whose GUI programs get no such signals, only waits.
void runUntilTerminated(std::size_t stackBytes, const std::function<void()> &work, TerminationGate &gate);

// Puts the null device on each standard stream (input, output, error) the caller left closed, so
// that no file the helper opens takes its number and gets what is printed or logged. Nothing on
// Windows, whose handles are no small numbers.
void keepStandardStreamsOpen();

// Makes the system show the process every file as it is stored: a cloud file that is kept online
// as the placeholder it is, which Windows may otherwise disguise (Windows 10 1803 and later, where
// the call exists); nothing to do elsewhere.
void showFilesAsStored();

// Makes libraries loaded from now on come from the system's own folder only, never from the
// program's folder or the current one (Windows); nothing to do where the system has no such search.
void restrictLibrarySearch();

// Starts work on a new thread with a stack of stackBytes; false when the system refused it.
// The thread must be joined with joinThread.
bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread);

// Waits for a thread started by startThread to end, and releases it.
void joinThread(NativeHandle thread);
