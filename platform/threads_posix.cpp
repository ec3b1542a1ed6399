#include "platform/threads.h"
#include "platform/signals.h"

#include <functional>

#include <pthread.h>

bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread)
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    auto run = [](void *argument) -> void * {
        (*static_cast<const std::function<void()> *>(argument))();
        // A termination sent to this thread alone would end with it: the taker takes it instead.
        passOnTerminations();
        return nullptr;
    };
    pthread_t started;
    const bool done = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                      pthread_create(&started, &attributes, run, const_cast<std::function<void()> *>(work)) == 0;
    pthread_attr_destroy(&attributes);
    if (done)
        thread = NativeHandle(started);
    return done;
}

void joinThread(NativeHandle thread)
{
    pthread_join(pthread_t(thread), nullptr);
}

void detachThread(NativeHandle thread)
{
    pthread_detach(pthread_t(thread));
}
