#include "platform/listings.h"
#include "platform/files.h"
#include "platform/posix_internal.h"

#include <cerrno>
#include <algorithm>
#include <climits>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace posix_internal;

ListingBuffer makeListingBuffer()
{
    return ListingBuffer(32 * 1024 / sizeof(std::uint64_t));
}

SysResult listFolder(const OpenFolder &folder, ListingBuffer &records, const std::function<void(const FolderEntry &)> &visit)
{
    char *const buffer = reinterpret_cast<char *>(records.data());
    FolderEntry entry;
    for (;;) {
        const ssize_t count = ::getdents64(fdOf(folder.handle), buffer, records.size() * sizeof records[0]);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return lastError();
        if (count == 0)
            return {};
        for (ssize_t offset = 0; offset < count;) {
            const auto *record = reinterpret_cast<const struct dirent64 *>(buffer + offset);
            offset += record->d_reclen;
            const char *name = record->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            entry.name.assign(name);
            entry.sized = false;
            entry.size = 0;
            switch (record->d_type) {
            case DT_DIR: entry.type = EntryType::Folder; break;
            case DT_REG: entry.type = EntryType::Regular; break;
            case DT_LNK: entry.type = EntryType::Link; break;
            case DT_UNKNOWN: entry.type = EntryType::Unknown; break;
            default: entry.type = EntryType::Other; break;
            }
            visit(entry);
        }
    }
}

SysResult statusAt(const OpenFolder &folder, const std::string &name, bool followLinks, FileStatus &status)
{
    return statusAtFd(fdOf(folder.handle), name.c_str(), followLinks ? 0 : AT_SYMLINK_NOFOLLOW, status);
}
