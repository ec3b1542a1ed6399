#include "report/steps.h"

#include "report/writer.h"

const int RetryDelaysMs[7] = {0, 50, 100, 200, 400, 800, 1000};

namespace writing {

const SysResult Ending = {SysError::Other, 0};

namespace {

// Waits ms milliseconds before a retry; false, at once, when a termination is pending, so that no
// retry keeps the process from ending.
bool pauseBeforeRetry(const SystemCalls &calls, int ms)
{
    if (calls.terminationGate)
        return calls.terminationGate->sleepUnlessEnding(ms);
    calls.sleepMilliseconds(ms);
    return true;
}

// A name of the writer's own in the result's folder, short enough to fit beside any name.
std::string temporaryName(std::uint64_t &seed)
{
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".vuro-";
    for (int i = 0; i < 6; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        name += Letters[(seed >> 33) % 36];
    }
    return name;
}

} // namespace

SysResult retryOnSchedule(const SystemCalls &calls, const std::function<SysResult()> &call,
                          const std::function<bool(const SysResult &)> &tryAgain)
{
    SysResult result = Ending;
    for (int delay : RetryDelaysMs) {
        if (delay > 0 && !pauseBeforeRetry(calls, delay))
            break;
        result = call();
        if (!tryAgain(result))
            break;
    }
    return result;
}

SysResult retryWhileHeld(const SystemCalls &calls, const std::function<SysResult()> &call)
{
    return retryOnSchedule(calls, call, [](const SysResult &result) {
        return result.kind == SysError::Locked || result.kind == SysError::Denied;
    });
}

SysResult nameTemporary(const std::function<SysResult(const std::string &)> &make, TemporaryName &temporary)
{
    std::uint64_t seed = uniqueSeed();
    SysResult result;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName(seed);
        result = make(name);
        if (result.ok())
            temporary.hold(name);
        if (result.kind != SysError::Exists)
            return result;
    }
    return result;
}

} // namespace writing
