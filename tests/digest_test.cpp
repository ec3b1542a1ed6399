#include "digest/digest.h"
#include "support/seam.h"
#include "support/trees.h"

#include <QFile>
#include <QThread>
#include <QProcess>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <future>
#include <new>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <sys/stat.h>

// Allocations of this many bytes or more fail from the given one on (a ring chunk, by its size),
// for the case of a chunk not made; 0 fails none.
std::atomic<std::size_t> failingSize{0};
std::atomic<int> failingFrom{0};
// The allocation of any size that fails, counted from when it is set (1: the next); 0 fails none.
std::atomic<int> failingNth{0};

void *operator new(std::size_t size)
{
    if (failingSize.load() && size >= failingSize.load() && failingFrom.fetch_sub(1) == 1)
        throw std::bad_alloc();
    if (failingNth.load() > 0 && failingNth.fetch_sub(1) == 1)
        throw std::bad_alloc();
    if (void *memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

// Each way a file past one read can be hashed.
const DigestWay EveryWay[] = {DigestWay::Ring, DigestWay::ReadingThread, DigestWay::TrialThenRing, DigestWay::TrialThenReadingThread};

// Expected digests are the published test vectors of RFC 1321 (MD5) and FIPS 180 (SHA-1).
class DigestTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir{scratchTemplate()};

    QString makeFile(const QString &name, const QByteArray &content)
    {
        const QString path = dir.filePath(name);
        if (!writeFile(path, content))
            qFatal("cannot write test file");
        return path;
    }

    // The value of key in the report of mode for path; "<none>" without a report.
    QString digestOf(int mode, const QString &path, const QString &key)
    {
        const std::optional<Report> report = digestReport(DigestMode(mode), path.toStdString());
        if (!report)
            return "<none>";
        for (const ReportEntry &entry : report->entries) {
            if (entry.key == key)
                return entry.value;
        }
        return "<no such key>";
    }

private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    // Guards against wrong digests, upper-case hex, or a lost tail of a file longer than one read.
    void publishedVectors_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<QString>("expected");
        const int md5 = QCryptographicHash::Md5;
        const int sha1 = QCryptographicHash::Sha1;
        QTest::newRow("md5 empty") << QByteArray() << md5 << "d41d8cd98f00b204e9800998ecf8427e";
        QTest::newRow("md5 a") << QByteArray("a") << md5 << "0cc175b9c0f1b6a831c399e269772661";
        QTest::newRow("md5 abc") << QByteArray("abc") << md5 << "900150983cd24fb0d6963f7d28e17f72";
        QTest::newRow("md5 message digest") << QByteArray("message digest") << md5 << "f96b697d7cb7938d525a2f31aaf161d0";
        QTest::newRow("md5 alphabet") << QByteArray("abcdefghijklmnopqrstuvwxyz") << md5 << "c3fcd3d76192e4007dfb496cca67e13b";
        QTest::newRow("md5 alphanumeric")
            << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") << md5
            << "d174ab98d277d9f5a5611c2c9f419d9f";
        QTest::newRow("md5 digits") << QByteArray("1234567890").repeated(8) << md5 << "57edf4a22be3c955ac49da2e2107b67a";
        QTest::newRow("sha1 empty") << QByteArray() << sha1 << "da39a3ee5e6b4b0d3255bfef95601890afd80709";
        QTest::newRow("sha1 abc") << QByteArray("abc") << sha1 << "a9993e364706816aba3e25717850c26c9cd0d89d";
        QTest::newRow("sha1 two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq") << sha1
                                         << "84983e441c3bd26ebaae4aa1f95129e5e54670f1";
        QTest::newRow("sha1 million a") << QByteArray(1000000, 'a') << sha1 << "34aa973cd4c4daa4f61eeb2bdbad27316534016f";
        QTest::newRow("md5 million a") << QByteArray(1000000, 'a') << md5 << "7707d6ae4e027c70eea2a935c2296f21";
    }
    void publishedVectors()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, algorithm);
        QFETCH(QString, expected);
        const QString path = makeFile(QString("v%1").arg(QTest::currentDataTag()), input);
        const bool md5 = algorithm == QCryptographicHash::Md5;
        QCOMPARE(digestOf(md5 ? 0 : 1, path, md5 ? "MD5" : "SHA1"), expected);
        QCOMPARE(digestOf(2, path, md5 ? "MD5" : "SHA1"), expected);
    }

    // Guards against a processor that does not say its cache size (0), or says an odd one, making
    // reads of no size or a ring of more than a few MiB; and this machine's, as getconf says it.
    void chunkSizeForAnyCache()
    {
        QProcess getconf;
        getconf.start("getconf", {"LEVEL2_CACHE_SIZE"});
        const std::size_t here = getconf.waitForFinished(10000) ? getconf.readAllStandardOutput().trimmed().toULongLong() : 0;
        for (std::size_t cache : {std::size_t(0), std::size_t(1), std::size_t(1) << 20, std::size_t(1) << 40, here})
            QVERIFY(digestChunkSize(cache) >= 64 * 1024 && digestChunkSize(cache) * DigestRingSlots <= 4u << 20);
    }

    // Guards against a chunk lost, doubled or mixed up between the reader and the two hashing
    // threads, or on the reading thread: random data of sizes around the buffer boundaries, against
    // md5sum and sha1sum, each size along the ring and on the reading thread.
    void bufferBoundaries_data()
    {
        QTest::addColumn<int>("size");
        // Around one read, around a full ring (where the reader first waits for the hashing
        // threads), and past two turns of it.
        const int chunk = int(digestChunkSize()), ring = int(digestChunkSize() * DigestRingSlots);
        // Past the trial, whose chunks on the reading thread and then along the ring (after its
        // first turn) are timed before the rest goes one way or the other.
        const int trial = chunk * (2 * DigestTrialChunks + int(DigestRingSlots));
        for (int size : {1, chunk - 1, chunk, chunk + 1, ring - 1, ring, ring + 1, 2 * ring + chunk / 2 + 3, trial - 1, trial, trial + chunk + 7})
            QTest::newRow(qPrintable(QString::number(size))) << size;
    }
    void bufferBoundaries()
    {
        QFETCH(int, size);
        QByteArray content(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            content[i] = char(QRandomGenerator::global()->generate());
        const QString path = makeFile("random", content);
        for (const DigestWay way : EveryWay) {
            const std::optional<Report> both = digestReport(DigestMode(2), path.toStdString(), SystemCalls(), way);
            QVERIFY(both);
            QCOMPARE(both->entries.size(), 2);
            QCOMPARE(both->entries.at(0).key, QString("MD5"));
            QCOMPARE(both->entries.at(0).value, referenceDigest("md5sum", path));
            QCOMPARE(both->entries.at(1).key, QString("SHA1"));
            QCOMPARE(both->entries.at(1).value, referenceDigest("sha1sum", path));
            const std::optional<Report> sha1Only = digestReport(DigestMode(1), path.toStdString(), SystemCalls(), way);
            QVERIFY(sha1Only);
            QCOMPARE(sha1Only->entries.size(), 1);
            QCOMPARE(sha1Only->entries.at(0).value, both->entries.at(1).value);
        }
    }

    // Guards against a digest the library failed to compute, or of a file that changed while it was
    // read (another program writing it), passing for the file's own.
    void libraryFailureOrChangeGivesNoReport()
    {
        auto *fault = static_cast<int *>(dlsym(RTLD_DEFAULT, "vuroDigestFault"));
        auto *changePath = static_cast<const char **>(dlsym(RTLD_DEFAULT, "vuroDigestChangePath"));
        if (!fault || !changePath || !dlsym(RTLD_DEFAULT, "vuroDigestChmodPath"))
            QSKIP("needs the digest fault library preloaded, as CTest does");
        const QString path = makeFile("faulty", QByteArray(3 * int(digestChunkSize()), 'x'));
        const std::string native = QFile::encodeName(path).toStdString();
        for (int failing : {1, 2}) {
            for (int mode : {0, 1, 2}) {
                *fault = failing;
                const bool reported = bool(digestReport(DigestMode(mode), native));
                *fault = 0;
                QVERIFY2(!reported, qPrintable(QString("mode %1, %2 failing").arg(mode).arg(failing == 1 ? "update" : "final")));
            }
        }
        // A context the library cannot make for want of memory is the mode's out of memory.
        *fault = 3;
        QVERIFY_EXCEPTION_THROWN(digestReport(DigestMode(2), native), std::bad_alloc);
        *fault = 0;
        // The change keeps the size; a clock whose tick it falls within (here one that never
        // moves) shows none: only the kernel's watch does, or a small file's second read. A
        // change of permissions moves the change time alone, which the watch does not see.
        const QByteArray small = QFile::encodeName(makeFile("faulty-small", QByteArray(4096, 'x')));
        auto *chmodPath = static_cast<const char **>(dlsym(RTLD_DEFAULT, "vuroDigestChmodPath"));
        SystemCalls frozenClock;
        frozenClock.statusOfHandle = [](const Handle &file, FileStatus &status) {
            const SysResult looked = statusOfHandle(file, status);
            status.modified = status.changed = 0;
            return looked;
        };
        // A small file that grows as its read begins and shrinks back to its size as the second
        // read returns, all within the clock's tick: the first read finds no end within the size
        // it stated. The shrinking is another thread's, as another program's would be, given
        // 100 ms.
        const QByteArray growing = QFile::encodeName(makeFile("growing", QByteArray(1000, 'g')));
        auto reads = std::make_shared<int>(0);
        std::vector<std::thread> shrinking;
        const auto resize = [growing, reads, &shrinking] {
            if (++*reads == 1)
                QVERIFY(writeFile(QFile::decodeName(growing), QByteArray(1000, 'g') + QByteArray(100, '+')));
            if (*reads == 4) {
                shrinking.emplace_back([growing] { QCOMPARE(::truncate(growing.constData(), 1000), 0); });
                QThread::msleep(100);
            }
        };
        const auto growingAndShrinking = [resize](SystemCalls calls) {
            calls.readChunkAt = [resize](const Handle &file, std::uint64_t offset, char *buffer, std::size_t size, std::size_t &count) {
                resize();
                const SysResult read = readChunkAt(file, offset, buffer, size, count);
                resize();
                return read;
            };
            calls.readChunk = [resize](const Handle &file, char *buffer, std::size_t size, std::size_t &count) {
                resize();
                const SysResult read = readChunk(file, buffer, size, count);
                resize();
                return read;
            };
            return calls;
        };
        const SystemCalls growAndShrink = growingAndShrinking(frozenClock);
        struct Change { const char **hook; const SystemCalls &calls; QByteArray path; };
        for (const Change &change : {Change{changePath, SystemCalls(), QFile::encodeName(path)}, Change{changePath, SystemCalls(), small},
                                     Change{changePath, frozenClock, QFile::encodeName(path)}, Change{changePath, frozenClock, small},
                                     Change{chmodPath, SystemCalls(), QFile::encodeName(path)}, Change{chmodPath, SystemCalls(), small},
                                     Change{nullptr, growAndShrink, growing}}) {
            for (int mode : {0, 1, 2}) {
                for (const DigestWay way : EveryWay) {
                    *reads = 0;
                    QVERIFY(writeFile(QFile::decodeName(growing), QByteArray(1000, 'g')));
                    if (change.hook)
                        *change.hook = change.path.constData();
                    const bool reported = bool(digestReport(DigestMode(mode), change.path.toStdString(), change.calls, way));
                    if (change.hook)
                        *change.hook = nullptr;
                    for (std::thread &thread : shrinking)
                        thread.join();
                    shrinking.clear();
                    QVERIFY2(!reported, qPrintable(QString("mode %1 of %2 changed while read, way %3").arg(mode).arg(change.path.constData())
                                                       .arg(int(way))));
                }
            }
        }
        QVERIFY(digestReport(DigestMode(2), native));
    }

    // Guards against another program refused or held while the helper reads the file, and its
    // write going unseen: it opens the file for writing without waiting (O_NONBLOCK, as
    // truncate and dd's oflag=nonblock do) as the second chunk is read, and writes a byte. Its open
    // succeeds at once; the read gives no report. Of 1, 16 and 17 MiB, each way; and one that
    // opens as most do, waiting if need be, while the helper is held in its read.
    void writerNeverRefusedNorHeld_data()
    {
        QTest::addColumn<int>("mebibytes");
        QTest::addColumn<QString>("flag");
        for (int mebibytes : {1, 16, 17})
            QTest::newRow(qPrintable(QString("%1 MiB").arg(mebibytes))) << mebibytes << "oflag=nonblock";
        QTest::newRow("17 MiB, waiting") << 17 << "oflag=sync";
    }
    void writerNeverRefusedNorHeld()
    {
        QFETCH(int, mebibytes);
        QFETCH(QString, flag);
        const QString path = makeFile("written", QByteArray(mebibytes << 20, 'w'));
        for (const DigestWay way : {DigestWay::Chosen, DigestWay::Ring, DigestWay::ReadingThread}) {
            QProcess writer;
            QElapsedTimer took;
            int reads = 0;
            SystemCalls calls;
            calls.readChunk = [&](const Handle &file, char *buffer, std::size_t size, std::size_t &count) -> SysResult {
                if (++reads == 2) {
                    took.start();
                    writer.start("dd", {"of=" + path, "bs=1", "seek=5", "count=1", "conv=notrunc", flag, "status=none"});
                    writer.waitForStarted();
                    writer.write("Z");
                    writer.closeWriteChannel();
                    writer.waitForFinished(10000);
                }
                return readChunk(file, buffer, size, count);
            };
            QVERIFY2(!digestReport(DigestMode(0), QFile::encodeName(path).toStdString(), calls, way), "a report though a writer came");
            QVERIFY2(writer.exitCode() == 0, writer.readAllStandardError().constData());
            QVERIFY2(took.elapsed() < 5000, qPrintable(QString("the writer waited %1 ms").arg(took.elapsed())));
            QCOMPARE(readFile(path).at(5), 'Z');
            QVERIFY(writeFile(path, QByteArray(mebibytes << 20, 'w')));
        }
    }

    // Guards against the hashing threads waiting for ever for a chunk the reader could not make,
    // or a thread that could not be started for want of memory, and against any allocation that
    // fails passing quietly: the mode ends at once with the out of memory, or gives the whole
    // report, in every mode, whichever allocation of the run fails.
    void outOfMemoryEndsTheMode()
    {
        const QString file = makeFile("chunks", QByteArray(5 * int(digestChunkSize()), 'c'));
        const std::string path = QFile::encodeName(file).toStdString();
        const QString md5 = referenceDigest("md5sum", file), sha1 = referenceDigest("sha1sum", file);
        // Runs mode with the nth allocation of the run failing (0: none but failingSize's); 1 when it
        // threw the out of memory, 2 when it gave the whole report.
        DigestWay ringWay = DigestWay::Ring;
        const auto outcome = [&](int mode, int nth) {
            std::future<int> ended = std::async(std::launch::async, [&, nth] {
                failingNth = nth;
                try {
                    const std::optional<Report> report = digestReport(DigestMode(mode), path, SystemCalls(), ringWay);
                    return report && report->entries.last().value == (mode == 0 ? md5 : sha1) ? 2 : 0;
                } catch (const std::bad_alloc &) {
                    return 1;
                }
            });
            if (ended.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
                qFatal("mode %d hung when memory ran out", mode);
            failingSize = 0;
            failingNth = 0;
            return ended.get();
        };
        for (int mode : {0, 1, 2}) {
            ringWay = DigestWay::Ring;
            failingSize = digestChunkSize();
            failingFrom = 2;
            QVERIFY2(outcome(mode, 0) == 1, qPrintable(QString("mode %1 ended without its out of memory").arg(mode)));
            // Each allocation in turn, the threads' own among them, until a run needs no more;
            // along the ring and on the reading thread.
            for (const DigestWay way : EveryWay) {
                ringWay = way;
                int nth = 1;
                for (int got = 1; got == 1; ++nth) {
                    got = outcome(mode, nth);
                    QVERIFY2(got != 0, qPrintable(QString("mode %1, allocation %2 failing: a report not whole, quietly").arg(mode).arg(nth)));
                }
                qInfo("mode %d, way %d: %d allocations, each failing in turn", mode, int(way), nth - 2);
            }
        }
    }

    // Guards against a digest of nothing, or of part of a file, passing for the file's own.
    void unreadableGivesNoReport()
    {
        QVERIFY(!digestReport(DigestMode(2), dir.filePath("none").toStdString()));
        // Opens fine as a regular file, then fails on the first read.
        QVERIFY(QFileInfo("/proc/self/mem").isFile());
        QVERIFY(!digestReport(DigestMode(2), "/proc/self/mem"));
        QVERIFY(!digestReport(DigestMode(0), "/proc/self/mem"));
        // No regular file, as when one is put in the target's place after the target test: a
        // FIFO without a writer and a device both read as empty, which is no digest of them.
        const QString fifo = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        for (const char *path : {"/dev/null", "/"})
            QVERIFY2(!digestReport(DigestMode(2), path), path);
        QVERIFY(!digestReport(DigestMode(2), QFile::encodeName(fifo).toStdString()));
    }

    // Guards against a failing call passing for a digest, and against out of memory ending in a
    // quiet no-report: each call of a mode-2 run fails in turn, with each kind the systems give.
    void everyCallFailingInTurn()
    {
        // A file read whole on the first thread, and one read under the watch each way.
        const QString small = dir.filePath("failing"), large = makeFile("failing-large", QByteArray(2 * int(digestChunkSize()) + 5, 'L'));
        QVERIFY(writeFile(small, "abc"));
        sweepCallsOf(small, {{"MD5", referenceDigest("md5sum", small)}, {"SHA1", referenceDigest("sha1sum", small)}}, DigestWay::Chosen);
        for (const DigestWay way : {DigestWay::Ring, DigestWay::ReadingThread})
            sweepCallsOf(large, {{"MD5", referenceDigest("md5sum", large)}, {"SHA1", referenceDigest("sha1sum", large)}}, way);
    }

private:
    // Makes each call of a mode-2 run on path fail in turn, with each kind of failure: that call
    // alone, then that call and every one after it. A report holds the file's own identity, which
    // keeps a result path that names the file from overwriting it.
    void sweepCallsOf(const QString &path, const ReportList &whole, DigestWay way)
    {
        struct stat file {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &file), 0);
        const ReportList closed = {{"MD5", ""}, {"SHA1", ""}};
        const SysResult failures[] = {resultOf(EIO), {SysError::Denied, EACCES}, {SysError::Locked, EBUSY},
                                      {SysError::OutOfMemory, ENOMEM}, {SysError::Gone, ENODEV}};
        // k = 0 fails nothing: that run counts the calls to sweep.
        int calls = 0;
        for (int k = 0; k <= calls; ++k) {
            for (const bool onward : {false, true})
            for (const SysResult &failure : failures) {
                int made = 0;
                const SystemCalls watched = wrapEachCall(SystemCalls(), [&, k, failure](const char *, auto real) {
                    return [&made, k, onward, failure, real](auto &&...arguments) -> SysResult {
                        return ++made == k || (onward && k > 0 && made > k) ? failure : real(std::forward<decltype(arguments)>(arguments)...);
                    };
                });
                const QString what = QString("call %1%2 failing with %3").arg(k).arg(onward ? " on" : "").arg(errorTextOf(failure.code).c_str());
                std::optional<Report> report;
                bool threw = false;
                try {
                    report = digestReport(DigestMode(2), QFile::encodeName(path).toStdString(), watched, way);
                } catch (const std::bad_alloc &) {
                    threw = true;
                }
                if (k == 0) {
                    calls = made;
                    QVERIFY(report && sameEntries(report->entries, whole));
                    break;
                }
                QVERIFY2(!threw || failure.kind == SysError::OutOfMemory, qPrintable(what));
                QVERIFY2(threw || report || failure.kind != SysError::OutOfMemory, qPrintable(what + ": out of memory, quietly no report"));
                if (report) {
                    QVERIFY2(report->target.identity.known && report->target.identity.fileLow == file.st_ino, qPrintable(what + ": not the file's identity"));
                    const bool asClosed = failure.kind == SysError::Denied || failure.kind == SysError::Locked;
                    QVERIFY2(sameEntries(report->entries, whole) || (asClosed && sameEntries(report->entries, closed)), qPrintable(what));
                }
            }
        }
        qInfo("%s, way %d: %d calls, each failing in turn", qPrintable(QFileInfo(path).fileName()), int(way), calls);
    }

    static bool sameEntries(const ReportList &a, const ReportList &b)
    {
        if (a.size() != b.size())
            return false;
        for (int i = 0; i < a.size(); ++i) {
            if (a[i].key != b[i].key || a[i].value != b[i].value)
                return false;
        }
        return true;
    }
};

QTEST_GUILESS_MAIN(DigestTest)
#include "digest_test.moc"
