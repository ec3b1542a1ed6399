// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/threads.h"

using namespace windows_internal;

namespace {

DWORD WINAPI runWork(void *argument)
{
    (*static_cast<const std::function<void()> *>(argument))();
    return 0;
}

} // namespace

bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread)
{
    // A reservation only: the walk does not recurse, so small stacks do, and a 32-bit process
    // keeps its address space.
    const HANDLE started = SYS(CreateThread, HANDLE(nullptr))(nullptr, stackBytes, runWork, const_cast<std::function<void()> *>(work),
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!started)
        return false;
    thread = reinterpret_cast<NativeHandle>(started);
    return true;
}

void joinThread(NativeHandle thread)
{
    WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

void detachThread(NativeHandle thread)
{
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}
