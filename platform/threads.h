#pragma once

// Threads of a stack size of the caller's.

#include "platform/types.h"

#include <cstddef>
#include <functional>

// Starts work on a new thread with a stack of stackBytes; false when the system refused it. A
// termination signal held for that thread alone as it ends goes to the process, never lost with
// it. The thread must be joined with joinThread.
bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread);

// Waits for a thread started by startThread to end, and releases it.
void joinThread(NativeHandle thread);

// Lets a thread started by startThread run on unjoined; the system releases it when it ends.
void detachThread(NativeHandle thread);
