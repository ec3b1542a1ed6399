#include "digest/reading.h"

#include "report/termination.h"

#include <algorithm>
#include <cstdint>

namespace digesting {

Bytes makeBytes(std::size_t size)
{
    const std::size_t line = 64;
    char *const raw = static_cast<char *>(::operator new(size + line));
    const std::size_t offset = line - reinterpret_cast<std::uintptr_t>(raw) % line;
    return Bytes(raw + offset, FreeBytes{offset});
}

std::int64_t nanosecondsOf(Clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

std::int64_t medianOf(std::vector<std::int64_t> &samples)
{
    if (samples.empty())
        return 0;
    std::nth_element(samples.begin(), samples.begin() + std::ptrdiff_t(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

bool isEnding(const Target &file)
{
    return file.calls.terminationGate && file.calls.terminationGate->isEnding();
}

std::int64_t readNext(const Target &file, char *buffer)
{
    if (isEnding(file))
        return -1;
    std::size_t count = 0;
    const SysResult read = file.calls.readChunk(file.handle, buffer, file.chunkSize, count);
    return read.ok() ? std::int64_t(count) : -1;
}

Fed feedHashes(const Target &file, const std::vector<Hash *> &hashes, std::int64_t chunks, std::vector<std::int64_t> *times)
{
    const Bytes buffer = makeBytes(file.chunkSize);
    for (std::int64_t fed = 0; chunks < 0 || fed < chunks; ++fed) {
        // The clock read only where timed: a whole file's reads do without.
        const Clock::time_point began = times ? Clock::now() : Clock::time_point();
        const std::int64_t size = readNext(file, buffer.get());
        if (size <= 0)
            return size == 0 ? Fed::End : Fed::Failed;
        for (Hash *hash : hashes)
            hash->add(buffer.get(), std::size_t(size));
        if (times)
            times->push_back(nanosecondsOf(Clock::now() - began));
    }
    return Fed::More;
}

} // namespace digesting
