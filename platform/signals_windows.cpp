// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/signals.h"

void prepareSignals()
{
    // Windows has no such signals: a write to a closed pipe fails with an error.
}

bool runUntilTerminated(std::size_t, const std::function<void()> &work, const TerminationHooks &)
{
    // A GUI program gets no termination signal: TerminateProcess ends it wherever it is. The
    // first thread's stack is the program's own reservation (2 MiB), whatever the caller did, so
    // the mode runs on it: no thread to start and wait for.
    work();
    return true;
}

void passOnTerminations()
{
    // Windows gives a GUI program no such signals.
}
