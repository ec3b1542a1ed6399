#include "platform/signals.h"
#include "platform/threads.h"
#include "platform/posix_internal.h"

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

using namespace posix_internal;

namespace {

// The signals from outside the process (another process, the terminal, a limit) whose default
// action ends it, each taken on the waiting thread; the faults (SEGV, BUS, FPE...) are the
// process's own and stay as they are. Made without taking memory: a thread may ask as it ends
// with none left.
sigset_t terminationSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO, SIGPWR, SIGSTKFLT})
        sigaddset(&signals, signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        sigaddset(&signals, signal);
    return signals;
}

// The signal with which the mode's thread says it is done: one of the taken ones, told apart by
// the mode being done when it comes (the system's sender codes for one thread's signal to another
// differ between kernels).
int doneSignal()
{
    return SIGRTMIN;
}

// The signal with which the mode's thread, done, asks the taking thread whether a signal came
// that it took and has not yet said: all but the last of all (valgrind keeps that one for itself),
// so that the taker takes every termination held before it first; one of the last number, taken
// after the ask, is passed on to the process as the taker ends. Told apart from one sent from
// outside by its value.
int settleSignal()
{
    return SIGRTMAX - 1;
}

const int SettleAsk = 0x56524f53;

// Ends the process by signal, as it would have ended had the signal not been taken.
[[noreturn]] void endBySignal(int signal)
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    ::sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::raise(signal);
    // Raised to this thread while blocked: it ends the process the moment it is unblocked.
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + signal);
}

} // namespace

// Sends on to the process every termination signal the system holds for this thread (or the
// process), so that the taking thread takes it: a thread's own pending signals go with it.
void passOnTerminations()
{
    sigset_t pending;
    const sigset_t terminations = terminationSignals();
    if (::sigpending(&pending) != 0)
        return;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&pending, signal) == 1 && sigismember(&terminations, signal) == 1)
            ::kill(::getpid(), signal);
    }
}

void prepareSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

namespace {

// Runs work on this thread, the one there is, holding the taken signals off over each of the
// writer's steps: blocked from the first step's start to the last one's end, and waited for in
// the writer's sleeps there. One that came meanwhile ends the process as the last step ends.
void runHoldingOff(const std::function<void()> &work, const TerminationHooks &hooks, const sigset_t &taken, const sigset_t &before)
{
    int came = 0;
    TerminationHold hold;
    hold.hold = [&](bool on) {
        if (on) {
            ::pthread_sigmask(SIG_BLOCK, &taken, nullptr);
            return;
        }
        if (came != 0)
            endBySignal(came);
        // One still pending ends the process here, by its default action.
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    };
    hold.wait = [&](int ms) {
        const struct timespec wait = {ms / 1000, long(ms % 1000) * 1000 * 1000};
        siginfo_t info;
        const int signal = ::sigtimedwait(&taken, &info, &wait);
        came = signal > 0 ? signal : came;
        return signal <= 0;
    };
    hooks.holdOnThisThread(hold);
    work();
    hooks.holdOnThisThread(TerminationHold());
}

} // namespace

namespace {

// The signals taken and the hooks to what they wait for, shared with the thread that takes them, which
// may outlive the call that started it.
struct Taking {
    sigset_t taken;
    TerminationHooks hooks;
    std::atomic<int> came{0}; // the signal taken, once one came
    // Set by the taking thread as it answers the mode's settling ask, and stops taking.
    std::mutex mutex;
    std::condition_variable answered;
    std::atomic<bool> asked{false};
    bool settled = false;
    // Set by the taking thread as it starts: whether it blocked what it waits for.
    enum class Blocking { Unknown, Blocked, NotBlocked } blocking = Blocking::Unknown;
};

// Returns the first of the taken signals the system holds for the process or the calling thread;
// 0 when none.
int pendingSignal(const sigset_t &taken)
{
    sigset_t pending;
    if (::sigpending(&pending) != 0)
        return 0;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&taken, signal) == 1 && sigismember(&pending, signal) == 1)
            return signal;
    }
    return 0;
}

// True once a taken signal came: taken by the taking thread, or still held by the system for the
// process or the calling thread. One held for the calling thread alone (sent to it by its number)
// is sent on to the process, where the taking thread takes it: the thread need not wait for it
// nor outlive it.
bool passOnAndTellComing(const Taking &taking)
{
    if (taking.came.load() != 0)
        return true;
    const int signal = pendingSignal(taking.taken);
    if (signal != 0)
        ::kill(::getpid(), signal);
    return signal != 0;
}

// True when the signal taken is the mode's settling ask, not one sent from outside: queued with
// the ask's value once the mode asked (what the system says of the sender is not relied on).
bool isSettleAsk(const Taking &taking, int signal, const siginfo_t &info)
{
    return signal == settleSignal() && info.si_code == SI_QUEUE && info.si_value.sival_int == SettleAsk && taking.asked.load();
}

// Takes the signals until the mode's settling ask: the first that comes ends the process as it
// would have, once no step of the writer is entered. After the ask, which comes after every
// signal held before it, it takes none: those that come then act as they would have.
void takeSignals(const std::shared_ptr<Taking> &taking)
{
    sigset_t waited = taking->taken;
    sigaddset(&waited, settleSignal());
    {
        // Blocked here, whatever mask the thread began with: its start sets the mask it was
        // created under only where the system's calls let it.
        const bool blocked = ::pthread_sigmask(SIG_BLOCK, &waited, nullptr) == 0;
        const std::lock_guard<std::mutex> lock(taking->mutex);
        taking->blocking = blocked ? Taking::Blocking::Blocked : Taking::Blocking::NotBlocked;
        taking->answered.notify_all();
    }
    for (;;) {
        siginfo_t info;
        const int signal = ::sigwaitinfo(&waited, &info);
        if (signal < 0)
            continue;
        if (isSettleAsk(*taking, signal, info)) {
            const std::lock_guard<std::mutex> lock(taking->mutex);
            taking->settled = true;
            taking->answered.notify_all();
            return;
        }
        // At once: from here until the policy hears of it, only this says that it came.
        taking->came.store(signal);
        // A report of at most 64 KiB is written in milliseconds; a step that hangs on a dead share
        // does not keep the process alive past the bound.
        taking->hooks.waitForSteps(std::chrono::seconds(10));
        endBySignal(signal);
    }
}

// Asks the taking thread, once the mode is done, to take what came before now and stop: a signal
// it took but had not yet marked as come is then either marked or has ended the process. True
// when it answered within the bound (it then ends at once); it takes microseconds. Not asked, and
// false, unless it said it blocked the ask, which would otherwise end the process.
bool settleWithTaker(Taking &taking, NativeHandle taker)
{
    std::unique_lock<std::mutex> lock(taking.mutex);
    if (!taking.answered.wait_for(lock, std::chrono::seconds(5), [&] { return taking.blocking != Taking::Blocking::Unknown; }) ||
        taking.blocking != Taking::Blocking::Blocked)
        return false;
    union sigval value;
    value.sival_int = SettleAsk;
    taking.asked.store(true);
    if (::pthread_sigqueue(pthread_t(taker), settleSignal(), value) != 0)
        return false;
    return taking.answered.wait_for(lock, std::chrono::seconds(5), [&] { return taking.settled; });
}

// Ends the process by a signal that came while the mode ran, as it would have ended: this thread
// must not end it normally meanwhile. One taken ends it at once; one still held for the process
// or this thread, by its default action as the caller's mask comes back; after that, one that
// comes acts as it would have without the helper's taking.
void endByComeSignal(const Taking &taking, const sigset_t &before)
{
    if (const int came = taking.came.load())
        endBySignal(came);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// True when the first thread's stack may grow to stackBytes: its limit is that or more.
bool firstStackHolds(std::size_t stackBytes)
{
    struct rlimit limit;
    return ::getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= stackBytes;
}

// The stack of the thread that only takes signals.
const std::size_t TakerStackBytes = 64 * 1024;

// Runs work on a new thread with a stack of stackBytes while this one takes the signals, for a
// first thread whose stack is too small; false, having run nothing, where no thread can be had.
bool runOnThreadOfItsOwn(std::size_t stackBytes, const std::function<void()> &work, Taking &taking)
{
    sigset_t waited = taking.taken;
    sigaddset(&waited, doneSignal());
    ::pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    std::atomic<bool> done{false};
    const pthread_t waiter = ::pthread_self();
    const std::function<void()> run = [&] {
        work();
        done.store(true);
        ::pthread_kill(waiter, doneSignal());
    };
    NativeHandle thread;
    if (!startThread(stackBytes, &run, thread))
        return false;
    // The mode's thread wakes this one when done; should its signal be lost (a full signal queue,
    // a thread number the system never gave), the done flag is still looked at now and then.
    const struct timespec lookAgain = {0, 250 * 1000 * 1000};
    while (!done.load()) {
        siginfo_t info;
        const int signal = ::sigtimedwait(&waited, &info, &lookAgain);
        if (signal > 0 && !(signal == doneSignal() && done.load()) && sigismember(&taking.taken, signal)) {
            taking.hooks.waitForSteps(std::chrono::seconds(10));
            endBySignal(signal);
        }
    }
    joinThread(thread);
    return true;
}

} // namespace

bool runUntilTerminated(std::size_t stackBytes, const std::function<void()> &work, const TerminationHooks &hooks)
{
    sigset_t before;
    auto taking = std::make_shared<Taking>();
    taking->hooks = hooks;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &before);
    sigemptyset(&taking->taken);
    const sigset_t terminations = terminationSignals();
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&terminations, signal) != 1)
            continue;
        // A signal the caller had ignored or blocked stays so, as the shell's background jobs rely on.
        struct sigaction was;
        if (::sigaction(signal, nullptr, &was) == 0 && was.sa_handler != SIG_IGN && !sigismember(&before, signal))
            sigaddset(&taking->taken, signal);
    }
    // Blocked before any thread starts, so that every thread inherits the mask and only the taking
    // thread ever takes them, synchronously: no handler runs beside a write. One counts as come
    // from the moment it is sent, to whichever thread, not once a thread got round to taking it.
    // The settling ask too, which is held while blocked even where the caller ignores it.
    sigset_t blocked = taking->taken;
    sigaddset(&blocked, settleSignal());
    // Unblocked, the ask would end the process by its default action: then it is not made.
    const bool mayAsk = ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr) == 0;
    // (Not owning what takes them: that owns the hooks.)
    hooks.countAsCome([held = std::weak_ptr<Taking>(taking)] {
        const std::shared_ptr<Taking> taking = held.lock();
        return taking && passOnAndTellComing(*taking);
    });
    if (firstStackHolds(stackBytes)) {
        // The mode runs here, and a thread of its own takes the signals: the mode's start waits
        // for no other thread to be scheduled, its end only for the taker's answer.
        auto *take = new std::function<void()>([taking] { takeSignals(taking); });
        NativeHandle taker;
        if (startThread(TakerStackBytes, take, taker)) {
            work();
            if (mayAsk && settleWithTaker(*taking, taker)) {
                joinThread(taker);
                delete take;
            } else {
                // Not answering, it is taking a signal, which ends the process; or, its mask not
                // holding the ask, it was not asked.
                detachThread(taker);
            }
            endByComeSignal(*taking, before);
            return true;
        }
        delete take;
    } else if (runOnThreadOfItsOwn(stackBytes, work, *taking)) {
        endByComeSignal(*taking, before);
        return true;
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    // This thread's stack grows up to the caller's limit, which may be far below the mode's
    // needs: known before the mode runs, not found out by an overflow.
    if (!firstStackHolds(stackBytes))
        return false;
    runHoldingOff(work, hooks, taking->taken, before);
    return true;
}
