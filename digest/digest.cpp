#include "digest.h"

#include "digest/hash.h"
#include "digest/ways.h"

#include <memory>
#include <vector>

using namespace digesting;

std::size_t digestChunkSize(std::size_t level2Bytes)
{
    // The reader copies each chunk out of the page cache on its core while the hash takes the
    // chunks before it on another: a ring of four chunks of a quarter of the core's second-level
    // cache each keeps both within that cache and the hand-overs between the threads few. Measured
    // on an EPYC (1 MiB): a quarter beat a sixteenth and a half; a processor that does not say
    // gets what that cache measured best with. Never below 64 KiB, where the hand-overs cost more
    // than the hashing they overlap, nor above 1 MiB.
    const std::size_t chunk = level2Bytes ? level2Bytes / 4 : 256 * 1024;
    return std::min<std::size_t>(std::max<std::size_t>(chunk, 64 * 1024), 1024 * 1024);
}

std::size_t digestChunkSize()
{
    return digestChunkSize(level2CacheBytes());
}

namespace {

// The algorithms a mode reports, in the report's order.
std::vector<DigestAlgorithm> algorithmsOf(DigestMode mode)
{
    switch (mode) {
    case DigestMode::Md5: return {DigestAlgorithm::Md5};
    case DigestMode::Sha1: return {DigestAlgorithm::Sha1};
    case DigestMode::Md5AndSha1: break;
    }
    return {DigestAlgorithm::Md5, DigestAlgorithm::Sha1};
}

QString keyOf(DigestAlgorithm algorithm)
{
    return algorithm == DigestAlgorithm::Md5 ? QStringLiteral("MD5") : QStringLiteral("SHA1");
}

// Hashes the file of size bytes (as it was before the read) with each algorithm of the mode and
// returns its entries; none when a read, or the library, failed or refused. Whoever installed
// the helper can act on the loader's or the library's words, said on the error stream.
std::optional<ReportList> hashFile(const Target &file, std::uint64_t size, DigestMode mode, Handle &keptOpen)
{
    const std::vector<DigestAlgorithm> algorithms = algorithmsOf(mode);
    std::vector<std::unique_ptr<Hash>> hashes;
    std::vector<Hash *> fed;
    for (const DigestAlgorithm algorithm : algorithms) {
        hashes.push_back(std::make_unique<Hash>(algorithm));
        fed.push_back(hashes.back().get());
        std::string said;
        if (!hashes.back()->isLoadable())
            said = "cannot load the digest library: " + digestLibraryProblem();
        else if (!hashes.back()->refusal().empty())
            said = std::string("the digest library refuses ") + (algorithm == DigestAlgorithm::Md5 ? "MD5" : "SHA-1") + ": " + hashes.back()->refusal();
        if (!said.empty()) {
            writeErrorLine((said + ": no result written").c_str());
            return std::nullopt;
        }
    }
    if (!feedFile(file, size, fed, keptOpen))
        return std::nullopt;
    ReportList entries;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        QByteArray hex;
        if (!hashes[i]->finish(hex))
            return std::nullopt;
        entries.append({keyOf(algorithms[i]), QString::fromLatin1(hex)});
    }
    return entries;
}

// True when the file kept its size and times from before the read to after it.
bool isUnchanged(const FileStatus &before, const FileStatus &after)
{
    return before.size == after.size && before.modified == after.modified && before.changed == after.changed;
}

} // namespace

std::optional<Report> digestReport(DigestMode mode, const std::string &path, const SystemCalls &calls, DigestWay way)
{
    Handle file;
    Report report;
    const SysResult opened = calls.openForReading(path, file);
    if (opened.kind == SysError::Denied || opened.kind == SysError::Locked) {
        // The file is there but closed to us: say so with empty values, and still guard it.
        for (const DigestAlgorithm algorithm : algorithmsOf(mode))
            report.entries.append({keyOf(algorithm), QString()});
        FileStatus status;
        const SysResult looked = calls.statusOfPath(path, true, status);
        if (!looked.ok())
            return std::nullopt;
        report.target = status;
    } else if (!opened.ok()) {
        return std::nullopt;
    } else {
        // The target test looked at the path; what opened may be something else put in its place.
        FileStatus before, after;
        SysResult looked = calls.statusOfHandle(file, before);
        if (!looked.ok() || before.type != EntryType::Regular)
            return std::nullopt;
        report.target = before;
        // A digest of part of a file, or of a file that changed meanwhile, would pass for its own.
        // Times alone miss a change within their tick (1 s on ext4 with small inodes, 2 s on
        // FAT, whole seconds through sshfs): a small file's second read does not, nor does the
        // kernel's watch, kept for the others only: its start and end cost more than a small
        // file's second read.
        std::optional<ReportList> entries = hashFile(Target{file, calls, digestChunkSize(), way}, before.size, mode, report.keptOpen);
        if (!entries)
            return std::nullopt;
        report.entries = std::move(*entries);
        looked = calls.statusOfHandle(file, after);
        if (!looked.ok() || !isUnchanged(before, after))
            return std::nullopt;
    }
    return report;
}
