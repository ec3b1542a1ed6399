#include "folderstats/folderstats.h"
#include "platform/platform.h"
#include "support/machine.h"
#include "support/trees.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <thread>

#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QtTest>


// Expected texts are the published examples of the Windows shell's short size text and the
// boundaries that follow from its rules (next unit at 1000 units, 2/1/0 decimals, truncation).
class PlatformTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    // Guards against rounding, a wrong unit switch, a lost decimal or overflow at the top.
    void sizeText_data()
    {
        QTest::addColumn<quint64>("bytes");
        QTest::addColumn<QString>("expected");
        const QList<QPair<quint64, const char *>> rows = {
            {0, "0 bytes"}, {1, "1 bytes"}, {532, "532 bytes"}, {1023, "1023 bytes"},
            {1024, "1.00 KB"}, {1340, "1.30 KB"}, {10239, "9.99 KB"}, {10240, "10.0 KB"},
            {23506, "22.9 KB"}, {102399, "99.9 KB"}, {102400, "100 KB"}, {1023999, "999 KB"},
            {1024000, "0.97 MB"}, {1048575, "0.99 MB"}, {1048576, "1.00 MB"}, {2400016, "2.28 MB"},
            {10485759, "9.99 MB"}, {10485760, "10.0 MB"}, {104857599, "99.9 MB"}, {104857600, "100 MB"},
            {1048575999, "999 MB"}, {1048576000, "0.97 GB"}, {2400000000ull, "2.23 GB"},
            {1073741824ull, "1.00 GB"}, {1073741823999ull, "999 GB"}, {1073741824000ull, "0.97 TB"},
            {1099511627776ull, "1.00 TB"}, {1125899906842623ull, "0.99 PB"},
            {1125899906842624ull, "1.00 PB"}, {1152921504606846975ull, "0.99 EB"},
            {1152921504606846976ull, "1.00 EB"}, {9223372036854775807ull, "7.99 EB"},
            {18446744073709551615ull, "15.9 EB"},
        };
        for (const auto &row : rows)
            QTest::newRow(row.second) << row.first << QString(row.second);
    }
    void sizeText()
    {
        QFETCH(quint64, bytes);
        QFETCH(QString, expected);
        QCOMPARE(formatByteSize(bytes), expected);
    }

    // Guards against an error read as the wrong kind: a full disk taken for a folder closed to the
    // user, running out of handles for an I/O error, a lock for a refusal. Where a call made here
    // gives the error (code -1), the row is that call's outcome: the platform's own call on files
    // made here, in a child as user 65534 for a refusal, or under an open-file limit of 3; the
    // rest are the codes alone, for what no call here gives on demand (a full disk, a gone share).
    void errorKinds_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("kind");
        const QList<QPair<const char *, SysError>> calls = {
            {"a file that is there", SysError::None}, {"no such file", SysError::Missing},
            {"a file on the way", SysError::NotAFolder}, {"a file for the start folder", SysError::NotAFolder},
            {"a name past the limit", SysError::NameTooLong}, {"a name taken", SysError::Exists},
            {"a file locked by another", SysError::Locked}, {"a program running", SysError::Locked},
            {"a folder closed to the user", SysError::Denied}, {"no handle left", SysError::OutOfHandles},
            {"a folder written as a file", SysError::Other}, {"a loop of links", SysError::Other}};
        for (const auto &row : calls)
            QTest::newRow(row.first) << -1 << int(row.second);
        const QList<QPair<int, SysError>> codes = {
            {EPERM, SysError::Denied}, {EBUSY, SysError::Locked}, {ENFILE, SysError::OutOfHandles},
            {ENOMEM, SysError::OutOfMemory}, {ENOSPC, SysError::Other}, {EDQUOT, SysError::Other},
            {EROFS, SysError::ReadOnly}, {EOPNOTSUPP, SysError::NotSupported}, {ENOSYS, SysError::NotSupported},
            {EIO, SysError::Other}, {ESTALE, SysError::Gone}, {ENOTCONN, SysError::Gone}, {EINVAL, SysError::Other},
        };
        for (const auto &row : codes)
            QTest::newRow(qPrintable(QString::fromStdString(errorTextOf(row.first)))) << row.first << int(row.second);
    }
    void errorKinds()
    {
        QFETCH(int, code);
        QFETCH(int, kind);
        if (code >= 0) {
            QCOMPARE(int(errorKindOf(code)), kind);
            return;
        }
        const QByteArray row = QTest::currentDataTag();
        QTemporaryDir dir{scratchTemplate()};
        const std::string root = QFile::encodeName(dir.path()).toStdString();
        QVERIFY(writeFile(dir.filePath("f"), "x") && QDir(dir.path()).mkpath("sub/closed"));
        QVERIFY(QFile::link("loop-b", dir.filePath("loop-a")) && QFile::link("loop-a", dir.filePath("loop-b")));
        const ScopedPermissions shut(dir.filePath("sub/closed"), QFileDevice::Permissions());
        QVERIFY(shut.isSet());
        const auto call = [&]() -> SysResult {
            FileStatus status;
            Handle file;
            OpenFolder folder;
            ResultPlace place;
            const std::string placed = row == "a file locked by another" || row == "a name taken" ? root + "/f"
                                       : row == "a program running" ? QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString()
                                                                    : root + "/sub";
            const bool placedRow = row == "a name taken" || row == "a file locked by another" || row == "a program running" || row == "a folder written as a file";
            if (placedRow && !openResultPlace(placed, place).ok())
                return {SysError::Other, -1};
            if (row == "a name taken")
                return createNamedFile(place, "f", file);
            if (row == "a file locked by another" || row == "a program running" || row == "a folder written as a file") {
                const SysResult opened = openForWriting(place, file);
                return opened.ok() ? tryLockFile(file) : opened;
            }
            if (row == "a file for the start folder")
                return openStartFolder(root + "/f", folder);
            if (row == "no handle left")
                return openForReading(root + "/f", file);
            const std::string path = row == "no such file" ? "/missing" : row == "a file on the way" ? "/f/x" : row == "a loop of links" ? "/loop-a"
                                   : row == "a name past the limit" ? "/" + std::string(300, 'n') : row == "a folder closed to the user" ? "/sub/closed/x" : "/f";
            return statusOfPath(root + path, true, status);
        };
        if (row != "a folder closed to the user" && row != "no handle left") {
            const int held = ::open(qPrintable(dir.filePath("f")), O_RDONLY);
            QVERIFY(row != "a file locked by another" || ::flock(held, LOCK_EX) == 0);
            QCOMPARE(int(call().kind), kind);
            ::close(held);
            return;
        }
        // In a child: its user or its limit is its own.
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            const struct rlimit three = {3, 3};
            const bool set = row == "no handle left" ? ::setrlimit(RLIMIT_NOFILE, &three) == 0
                                                     : ::geteuid() != 0 || (::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0);
            ::_exit(set ? int(call().kind) : 100);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), kind);
    }

    // Guards against reporting free or used space instead of the capacity, and against a failed
    // query changing the total. The capacity is what stat(1) says of the file system.
    void volumeCapacity()
    {
        QProcess stat;
        stat.start("stat", {"-f", "-c", "%b %S", "/"});
        QVERIFY(stat.waitForFinished(10000));
        const QList<QByteArray> fields = stat.readAllStandardOutput().trimmed().split(' ');
        QCOMPARE(fields.size(), 2);
        std::uint64_t capacity = 0;
        OpenFolder root;
        QVERIFY(openStartFolder("/", root).ok());
        QVERIFY(queryVolumeCapacity(root, capacity).ok());
        QCOMPARE(capacity, fields.at(0).toULongLong() * fields.at(1).toULongLong());
        std::uint64_t untouched = 42;
        QVERIFY(!queryVolumeCapacity(OpenFolder(), untouched).ok());
        QCOMPARE(untouched, std::uint64_t(42));
    }

};

QTEST_GUILESS_MAIN(PlatformTest)
#include "platform_test.moc"
