#include "digest.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <list>

namespace {

// Large enough that system calls cost nothing next to the hashing, small enough to stay in cache
// while both digests consume it.
const qint64 ChunkSize = 256 * 1024;

QVector<QCryptographicHash::Algorithm> algorithmsForMode(int mode)
{
    switch (mode) {
    case 0: return {QCryptographicHash::Md5};
    case 1: return {QCryptographicHash::Sha1};
    case 2: return {QCryptographicHash::Md5, QCryptographicHash::Sha1};
    default: return {};
    }
}

QString keyFor(QCryptographicHash::Algorithm algorithm)
{
    return algorithm == QCryptographicHash::Md5 ? QStringLiteral("MD5") : QStringLiteral("SHA1");
}

// Feeds the whole file to every hash from one buffer; false when a read fails part way.
bool feedHashes(QFile &file, std::list<QCryptographicHash> &hashes)
{
    QByteArray buffer(int(ChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 count = file.read(buffer.data(), ChunkSize);
        if (count == 0)
            return true;
        if (count < 0)
            return false;
        for (QCryptographicHash &hash : hashes)
            hash.addData(QByteArray::fromRawData(buffer.constData(), int(count)));
    }
}

} // namespace

QStringList fileDigestsHex(const QString &path, const QVector<QCryptographicHash::Algorithm> &algorithms)
{
    QStringList empty;
    for (int i = 0; i < algorithms.size(); ++i)
        empty.append(QString());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return empty;
    std::list<QCryptographicHash> hashes;
    for (QCryptographicHash::Algorithm algorithm : algorithms)
        hashes.emplace_back(algorithm);
    // A digest of part of the file would pass for the file's own: report none instead.
    if (!feedHashes(file, hashes))
        return empty;
    QStringList digests;
    for (const QCryptographicHash &hash : hashes)
        digests.append(QString::fromLatin1(hash.result().toHex()));
    return digests;
}

QString fileDigestHex(const QString &path, QCryptographicHash::Algorithm algorithm)
{
    return fileDigestsHex(path, {algorithm}).value(0);
}

ReportList digestReport(int mode, const QString &path)
{
    const QVector<QCryptographicHash::Algorithm> algorithms = algorithmsForMode(mode);
    const QStringList digests = fileDigestsHex(path, algorithms);
    ReportList list;
    for (int i = 0; i < algorithms.size(); ++i)
        list.append({keyFor(algorithms.at(i)), digests.at(i)});
    return list;
}

void writeDigestReport(int mode, const QStringList &arguments)
{
    const QString target = targetPathFromArguments(arguments);
    if (!QFileInfo(target).isFile())
        return;
    const QString resultPath = resultPathFromArguments(arguments);
    // Writing the report over the file it describes would destroy the user's file.
    if (namesSameFile(target, resultPath))
        return;
    const ReportList list = digestReport(mode, target);
    if (!list.isEmpty())
        writeJsonReport(list, resultPath);
}

void runDigestMode(int mode)
{
    writeDigestReport(mode, QCoreApplication::arguments());
}
