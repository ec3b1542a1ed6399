#pragma once

// Builders for hand-made trees whose sizes and counts the tests know from construction.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// The result file as the viewer expects it, written out by hand.
inline QByteArray expectedJson(const QList<QPair<QString, QString>> &entries)
{
    QByteArray text = "[\n";
    for (int i = 0; i < entries.size(); ++i) {
        text += "    {\n        \"" + entries[i].first.toUtf8() + "\": \"" + entries[i].second.toUtf8() + "\"\n    }";
        text += i + 1 < entries.size() ? ",\n" : "\n";
    }
    return text + "]\n";
}

// Returns a QTemporaryDir template in the build folder's scratch area, creating that area.
inline QString scratchTemplate()
{
    QDir().mkpath(QStringLiteral(TEST_SCRATCH));
    return QStringLiteral(TEST_SCRATCH "/test-XXXXXX");
}

// Returns the bytes of the file, or "<missing>" when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Creates (or replaces) the file at path with content; false when that fails.
inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Returns the digest that a reference tool (md5sum, sha1sum) prints for the file.
inline QString referenceDigest(const QString &tool, const QString &path)
{
    QProcess process;
    process.start(tool, {path});
    process.waitForFinished(60000);
    return QString::fromLatin1(process.readAllStandardOutput().split(' ').value(0));
}

// Creates (or replaces) the file at path with size bytes; sizes past the data read as zeros.
inline bool writeSizedFile(const QByteArray &path, off_t size)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool done = fd >= 0 && ::ftruncate(fd, size) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}

// Builds depth nested folders named name below root, each holding one 1-byte file "f", without
// ever handing a long path to the system. Returns false when a step fails.
inline bool buildFolderChain(const QString &root, int depth, const QByteArray &name)
{
    int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; fd >= 0 && level < depth; ++level) {
        const int next = ::mkdirat(fd, name.constData(), 0755) == 0
                             ? ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY) : -1;
        ::close(fd);
        fd = next;
        const int file = fd >= 0 ? ::openat(fd, "f", O_WRONLY | O_CREAT, 0644) : -1;
        if (file < 0 || ::write(file, "x", 1) != 1) {
            if (file >= 0)
                ::close(file);
            break;
        }
        ::close(file);
        if (level == depth - 1) {
            ::close(fd);
            return true;
        }
    }
    if (fd >= 0)
        ::close(fd);
    return false;
}

// Builds count empty folders below root, named by a five-digit number and then name. Returns false
// when a step fails.
inline bool buildFolderFan(const QString &root, int count, const QByteArray &name)
{
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY);
    bool done = fd >= 0;
    for (int i = 0; done && i < count; ++i)
        done = ::mkdirat(fd, (QByteArray::number(i).rightJustified(5, '0') + name).constData(), 0755) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}

// A tree written down by hand: its files (each a path below the root and a size) and its empty
// folders. It builds itself below a root, and its totals are counted from the description alone,
// never by the walk under test: every folder a path names, and every file, once.
struct TreeDescription {
    QList<QPair<QByteArray, off_t>> files;
    QList<QByteArray> emptyFolders;

    // Builds the tree below root, which exists; false when a step fails.
    bool build(const QByteArray &root) const
    {
        for (const QByteArray &folder : folders()) {
            if (::mkdir((root + "/" + folder).constData(), 0755) != 0 && errno != EEXIST)
                return false;
        }
        for (const auto &file : files) {
            if (!writeSizedFile(root + "/" + file.first, file.second))
                return false;
        }
        return true;
    }
    std::uint64_t bytes() const
    {
        std::uint64_t sum = 0;
        for (const auto &file : files)
            sum += std::uint64_t(file.second);
        return sum;
    }
    // Every folder below the root, parents before children.
    QList<QByteArray> folders() const
    {
        QList<QByteArray> all;
        QList<QByteArray> named = emptyFolders;
        for (const auto &file : files)
            named.append(file.first.left(std::max<decltype(file.first.size())>(0, file.first.lastIndexOf('/'))));
        for (const QByteArray &path : named) {
            for (int at = path.indexOf('/'); ; at = path.indexOf('/', at + 1)) {
                const QByteArray folder = at < 0 ? path : path.left(at);
                if (!folder.isEmpty() && !all.contains(folder))
                    all.append(folder);
                if (at < 0)
                    break;
            }
        }
        return all;
    }
};

// Moves this whole test process into a mount namespace of its own, whose mounts no one else sees
// and which end with it. Returns why it cannot (not root, or no namespaces here), or nothing.
inline const char *enterOwnMountNamespace()
{
    if (::geteuid() != 0)
        return "needs root to mount file systems in a mount namespace of its own";
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "cannot make a mount namespace here";
    return nullptr;
}
