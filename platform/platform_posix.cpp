#include "platform.h"

#include <sys/statvfs.h>

bool queryVolumeCapacity(const std::string &rootUtf8, std::uint64_t &capacity)
{
    struct statvfs info;
    if (statvfs(rootUtf8.c_str(), &info) != 0)
        return false;
    capacity = std::uint64_t(info.f_blocks) * std::uint64_t(info.f_frsize);
    return true;
}

std::string formatShortByteSize(std::uint64_t bytes)
{
    return formatEnUsByteSize(bytes);
}
