#include "walk.h"

#include <QDebug>

#include <exception>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::uint64_t folderCounter = 0;
std::uint64_t fileCounter = 0;

namespace {

// The type the listing reported, without following links: a link to a folder is not a folder
// here, so links are never walked and cannot lead the walk round in a cycle. Only an entry the
// listing left untyped costs a status query.
bool isListedFolder(const fs::directory_entry &entry)
{
    return !entry.is_symlink() && entry.is_directory();
}

// A folder is counted after its own walk returns, a file after its size was added, so an entry
// that throws part way is neither counted nor summed.
void walkEntry(const fs::directory_entry &entry, std::uint64_t &total)
{
    if (isListedFolder(entry)) {
        walkFolder(entry.path().u8string(), total);
        ++folderCounter;
        return;
    }
    total += fs::file_size(entry.path());
    ++fileCounter;
}

} // namespace

void walkFolder(const std::string &folder, std::uint64_t &total)
{
    const fs::path path = fs::u8path(folder);
    std::error_code error;
    fs::directory_iterator it(path, error);
    if (error) {
        // Only a listing that failed needs the folder's status, which saves a query per folder:
        // a missing folder, or one that exists but cannot be listed, yields nothing; one whose
        // status cannot be read at all (too long a path, no search permission) raises, so the
        // parent logs it instead of counting a folder it never saw.
        static_cast<void>(fs::status(path));
        return;
    }
    // A listing that fails part way ends this folder's listing only.
    for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
        try {
            walkEntry(*it, total);
        } catch (const std::exception &failure) {
            qDebug() << failure.what();
        }
    }
}
