#include "folderstats/folderstats.h"
#include "folderstats/walk.h"
#include "support/trees.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <dlfcn.h>
#include <cerrno>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <vector>

// Trees are built by hand, so their sizes and counts are known from construction.
Q_DECLARE_METATYPE(TreeDescription)

namespace {

// Walkers log from threads of their own.
QStringList debugMessages;
std::mutex debugMessagesMutex;

void collectMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    const std::lock_guard<std::mutex> lock(debugMessagesMutex);
    if (type == QtDebugMsg)
        debugMessages.append(text);
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

void writeBytes(const QByteArray &path, off_t size)
{
    if (!writeSizedFile(path, size))
        qFatal("cannot create %s", path.constData());
}

struct WalkResult {
    bool reported = false;
    std::uint64_t total = 0;
    std::uint64_t folders = 0;
    std::uint64_t files = 0;
    int messages = 0;
};

// Walks with one walker and with many; both must find the same, message for message.
WalkResult walk(const QString &folder)
{
    WalkResult results[2];
    const int walkers[2] = {1, 16};
    for (int i = 0; i < 2; ++i) {
        debugMessages.clear();
        const std::optional<FolderTotals> totals = walkFolder(QFile::encodeName(folder + '/').toStdString(), walkers[i], SystemCalls(),
                                                                              std::chrono::milliseconds(0));
        results[i].messages = int(debugMessages.size());
        if (totals)
            results[i] = {true, totals->bytes, totals->folders, totals->files, results[i].messages};
    }
    const bool same = results[0].reported == results[1].reported && results[0].total == results[1].total &&
                      results[0].folders == results[1].folders && results[0].files == results[1].files &&
                      results[0].messages == results[1].messages;
    if (!same)
        QTest::qFail(qPrintable("one walker and many disagree on " + folder), __FILE__, __LINE__);
    return same ? results[1] : WalkResult{};
}

} // namespace

class FolderStatsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir{scratchTemplate()};

    QString makeFolder(const QString &relative)
    {
        QDir(dir.path()).mkpath(relative);
        return dir.filePath(relative);
    }

    // Without the listing fault, which would stop rm at the folder that breaks off.
    void removeTree(const QString &path)
    {
        QProcess rm;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("LD_PRELOAD");
        rm.setProcessEnvironment(environment);
        rm.start("rm", {"-rf", path});
        rm.waitForFinished(60000);
    }
private slots:
    // Names that are not valid UTF-8 defeat the framework's own removal.
    void cleanupTestCase() { removeTree(dir.path()); }

    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        qInstallMessageHandler(collectMessage);
    }

    // Guards against folders' own sizes being summed, or empty files and folders not counted;
    // and against names that are not valid UTF-8 or hold odd characters being lost (only "." and
    // ".." themselves are no entries: names that start like them are).
    void flatAndNestedTrees_data()
    {
        QTest::addColumn<TreeDescription>("tree");
        QTest::newRow("flat") << TreeDescription{{{"a", 10}, {"b", 20}, {"c", 0}}, {"empty"}};
        QTest::newRow("nested") << TreeDescription{{{"A/1", 1}, {"A/B/1", 1}, {"A/B/C/1", 1}}, {}};
        QTest::newRow("empty") << TreeDescription{};
        QTest::newRow("odd names") << TreeDescription{{{"bad\xff\xfe/in\x80", 7}, {"new\nline", 11}, {"with space", 13}, {"-dash", 17},
                                                      {"caf\xc3\xa9", 19}, {"..x", 23}, {".hidden", 29}}, {"..."}};
    }
    void flatAndNestedTrees()
    {
        QFETCH(TreeDescription, tree);
        const QString root = makeFolder(QString("tree-%1").arg(QTest::currentDataTag()));
        QVERIFY(tree.build(native(root)));
        const WalkResult r = walk(root);
        QCOMPARE(r.total, tree.bytes());
        QCOMPARE(r.folders, std::uint64_t(tree.folders().size()));
        QCOMPARE(r.files, std::uint64_t(tree.files.size()));
        QCOMPARE(r.messages, 0);
    }

    // Guards against links being walked (cycles, double counts) and special files stopping the walk.
    void linksAndSpecialFiles()
    {
        const QString root = makeFolder("links");
        makeFolder("links/sub");
        writeBytes(native(root + "/sub/data"), 5);
        QVERIFY(QFile::link(root + "/sub/data", root + "/to-file"));
        QVERIFY(QFile::link(root + "/sub", root + "/to-folder"));
        QVERIFY(QFile::link(root, root + "/sub/to-ancestor"));
        QVERIFY(QFile::link(root + "/nowhere", root + "/dangling"));
        QCOMPARE(::mkfifo(native(root + "/pipe").constData(), 0600), 0);
        const WalkResult r = walk(root);
        QCOMPARE(r.total, std::uint64_t(10)); // the file, and the file again through its link
        QCOMPARE(r.files, std::uint64_t(2));
        QCOMPARE(r.folders, std::uint64_t(1));
        QCOMPARE(r.messages, 4); // folder link, ancestor link, dangling link, FIFO
    }

    // Guards against folders deeper than the system's path limit (4,096 bytes) being counted as
    // empty or not at all: 3,000 levels, then 60 levels of 100-byte names, against what find counts.
    void treesDeeperThanThePathLimit()
    {
        for (const auto &shape : {qMakePair(3000, QByteArray("a")), qMakePair(60, QByteArray(100, 'n'))}) {
            const QString root = makeFolder("deeper" + QString::number(shape.first));
            QVERIFY(buildFolderChain(root, shape.first, shape.second));
            QProcess find;
            find.start("find", {root, "-mindepth", "1", "-printf", "%y %s\n"});
            QVERIFY(find.waitForFinished(60000));
            std::uint64_t folders = 0, files = 0, bytes = 0;
            for (const QByteArray &line : find.readAllStandardOutput().split('\n')) {
                if (line.startsWith("d "))
                    ++folders;
                if (line.startsWith("f ")) {
                    ++files;
                    bytes += line.mid(2).toULongLong();
                }
            }
            QCOMPARE(folders, std::uint64_t(shape.first));
            const WalkResult r = walk(root);
            QCOMPARE(r.folders, folders);
            QCOMPARE(r.files, files);
            QCOMPARE(r.total, bytes);
            QCOMPARE(r.messages, 0);
            removeTree(root);
        }
    }

    // Guards against a 32-bit or floating-point sum.
    void sparseFilesBeyondFourTebibytes()
    {
        const QString root = makeFolder("sparse");
        for (int i = 0; i < 5; ++i) {
            const int fd = ::open(native(root + QString("/s%1").arg(i)).constData(), O_WRONLY | O_CREAT, 0644);
            QVERIFY(fd >= 0);
            if (::ftruncate(fd, off_t(1) << 40) != 0)
                QSKIP("this file system cannot hold a 1 TiB sparse file");
            ::close(fd);
        }
        writeBytes(native(root + "/odd"), 3);
        const WalkResult r = walk(root);
        QCOMPARE(r.total, (std::uint64_t(5) << 40) + 3);
        QCOMPARE(r.files, std::uint64_t(6));
        QCOMPARE(formatByteSize(r.total), QString("5.00 TB"));
    }

    // Guards against a volume root being walked, and against a report for a folder that is gone.
    void volumeRootAndMissingFolder()
    {
        struct statvfs info;
        QCOMPARE(::statvfs("/", &info), 0);
        const QString capacity = formatByteSize(std::uint64_t(info.f_blocks) * info.f_frsize);
        QVERIFY(QFile::link("/", dir.filePath("to-root")));
        for (const QString &root : {QString("/"), QString("//"), QString("/tmp/.."), QString("/.."),
                                    QString("/tmp/../.."), dir.filePath("to-root")}) {
            const std::optional<Report> report = folderStatsReport(root.toStdString());
            QVERIFY(report);
            QCOMPARE(report->entries.size(), 1);
            QCOMPARE(report->entries.at(0).key, QString("Total Size"));
            QCOMPARE(report->entries.at(0).value, capacity);
        }
        // Known by what opens, not by its text: a link whose name is no UTF-8 is still the root.
        const QByteArray oddLink = QFile::encodeName(dir.path()) + "/root\xe9";
        QCOMPARE(::symlink("/", oddLink.constData()), 0);
        const std::optional<Report> odd = folderStatsReport(oddLink.toStdString());
        QVERIFY(odd);
        QCOMPARE(odd->entries.size(), 1);
        QCOMPARE(odd->entries.at(0).value, capacity);
        // A folder reached through ".." is walked when it is no root.
        const std::optional<Report> walked = folderStatsReport((makeFolder("up/down") + "/..").toStdString());
        QVERIFY(walked);
        QCOMPARE(walked->entries.at(1).value, QString("1"));
        QVERIFY(!folderStatsReport(dir.filePath("gone").toStdString()));
    }

    // Guards against a listing that breaks off part way passing for a complete one, and one that
    // fails at its first read passing for an empty folder or dropping the folder.
    void listingThatBreaksOff()
    {
        if (!dlsym(RTLD_DEFAULT, "vuroListingFaultLoaded"))
            QSKIP("needs the listing fault library preloaded, as CTest does");
        const QString root = makeFolder("flaky/breaks-off");
        for (const char *name : {"a", "b", "c"})
            writeBytes(native(root + "/" + name), 1);
        makeFolder("flaky/breaks-off/inner");
        writeBytes(native(dir.filePath("flaky/sibling")), 10);
        const WalkResult r = walk(dir.filePath("flaky"));
        // The first entry is handled, the rest is lost; the broken folder is not counted.
        const std::uint64_t firstIsFolder = r.total == 10 ? 1 : 0;
        QCOMPARE(r.total, 10 + (1 - firstIsFolder));
        QCOMPARE(r.files, 2 - firstIsFolder);
        QCOMPARE(r.folders, firstIsFolder);
        QCOMPARE(r.messages, 1);
        QVERIFY(debugMessages.first().contains("Input/output error"));

        // Failing at its first read, a folder could not be looked into: logged, and counted.
        const QString early = makeFolder("flaky2/fails-at-once");
        writeBytes(native(early + "/a"), 1);
        writeBytes(native(dir.filePath("flaky2/sibling")), 10);
        const WalkResult e = walk(dir.filePath("flaky2"));
        QCOMPARE(e.total, std::uint64_t(10));
        QCOMPARE(e.files, std::uint64_t(1));
        QCOMPARE(e.folders, std::uint64_t(1));
        QCOMPARE(e.messages, 1);
        // The start folder's own listing failing at its first read is no empty folder: no report.
        const WalkResult start = walk(early);
        QVERIFY(!start.reported);
        QCOMPARE(start.messages, 1);
    }

    // Guards against an outcome of the walk read the wrong way, at each step where the system can
    // fail it: each case makes one call fail through the seam of platform operations, in a tree of
    // a (x: 10 bytes), b (y: 20) and c (z: 40), and gives the totals the rules give, or no report,
    // and whether a message says so. "start gone": the start folder stops answering as b fails.
    void eachOutcomeOfTheWalk()
    {
        const QString root = makeFolder("outcomes");
        for (const char *folder : {"a", "b", "c"})
            makeFolder(QString("outcomes/") + folder);
        writeBytes(native(root + "/a/x"), 10);
        writeBytes(native(root + "/b/y"), 20);
        writeBytes(native(root + "/c/z"), 40);
        // LoopB: b lists itself as its own subfolder, and no handle nor listing gives a number.
        enum Call { OpenB, ListBBefore, ListBAfter, SizeZ, RootTest, Capacity, LoopB };
        struct Case {
            const char *name;
            Call call;
            SysResult failure;
            bool startGone;
            std::optional<FolderTotals> expected; // bytes, folders, files
            bool logged;
        };
        const SysResult missing{SysError::Missing, ENOENT}, denied{SysError::Denied, EACCES}, io = resultOf(EIO),
            gone{SysError::Gone, ENOTCONN}, handles{SysError::OutOfHandles, EMFILE}, link{SysError::NotAFolder, ELOOP};
        const FolderTotals whole{70, 3, 3}, withoutB{50, 3, 2};
        const std::vector<Case> cases = {
            {"b vanished", OpenB, missing, false, withoutB, true},
            {"b vanished, start gone", OpenB, missing, true, std::nullopt, true},
            {"b closed to the user", OpenB, denied, false, withoutB, false},
            {"b an I/O error", OpenB, io, false, withoutB, true},
            {"b an I/O error, start gone", OpenB, io, true, std::nullopt, true},
            {"b a link now", OpenB, link, false, FolderTotals{50, 2, 2}, true},
            {"b on a share gone", OpenB, gone, false, std::nullopt, true},
            {"b out of handles", OpenB, handles, false, std::nullopt, true},
            {"b's listing failing at once", ListBBefore, io, false, withoutB, true},
            {"b's listing failing at once, start gone", ListBBefore, io, true, std::nullopt, true},
            {"b's listing broken off", ListBAfter, io, false, FolderTotals{70, 2, 3}, true},
            {"b's listing on a share gone", ListBAfter, gone, false, std::nullopt, true},
            {"z vanished", SizeZ, missing, false, FolderTotals{30, 3, 2}, true},
            {"z an I/O error", SizeZ, io, false, FolderTotals{30, 3, 2}, true},
            {"z an I/O error, start gone", SizeZ, io, true, std::nullopt, true},
            {"z out of handles", SizeZ, handles, false, std::nullopt, true},
            {"the root test failing", RootTest, io, false, std::nullopt, false},
            {"a root's capacity failing", Capacity, io, false, std::nullopt, false},
            {"b in itself, no identities", LoopB, SysResult{}, false, std::nullopt, true},
        };
        for (const Case &c : cases) {
            std::atomic<bool> startGone{false};
            std::atomic<NativeHandle> start{NoHandle};
            const SystemCalls real;
            SystemCalls calls;
            calls.openStartFolder = [&](const std::string &path, OpenFolder &folder) {
                const SysResult opened = real.openStartFolder(path, folder);
                start = folder.handle.get();
                return opened;
            };
            calls.statusOfHandle = [&](const Handle &handle, FileStatus &status) {
                if (handle.get() == start && startGone)
                    return SysResult{SysError::Gone, ENOTCONN};
                const SysResult looked = real.statusOfHandle(handle, status);
                if (c.call == LoopB && handle.get() != start)
                    status.identity = makeFileIdentity(status.identity.volume, 0, 0);
                return looked;
            };
            calls.openSubfolder = [&](const OpenFolder &from, const std::string &relative, const ListedFolder &listed, OpenFolder &folder) {
                if (c.call == LoopB && relative.rfind("b", 0) == 0)
                    return real.openSubfolder(from, "b", listed, folder);
                if (relative != "b")
                    return real.openSubfolder(from, relative, listed, folder);
                startGone = c.startGone;
                return c.call == OpenB ? c.failure : real.openSubfolder(from, relative, listed, folder);
            };
            calls.listFolder = [&](const OpenFolder &folder, ListingBuffer &buffer, const std::function<void(const FolderEntry &)> &visit) {
                const bool isB = QByteArray::fromStdString(folder.path).endsWith("/b");
                if (isB && c.call == ListBBefore)
                    return c.failure;
                // Entries untyped, as some file systems list them, so that each is looked at.
                const SysResult listed = real.listFolder(folder, buffer, [&](const FolderEntry &entry) {
                    FolderEntry untyped = entry;
                    untyped.type = entry.type == EntryType::Folder ? EntryType::Folder : EntryType::Unknown;
                    visit(untyped);
                });
                if (isB && c.call == LoopB)
                    visit(FolderEntry{"b", EntryType::Folder, false, 0, 0});
                return isB && c.call == ListBAfter ? c.failure : listed;
            };
            calls.statusAt = [&](const OpenFolder &folder, const std::string &name, bool follow, FileStatus &status) {
                if (name == "z" && c.call == SizeZ) {
                    startGone = c.startGone;
                    return c.failure;
                }
                return real.statusAt(folder, name, follow, status);
            };
            calls.isVolumeRoot = [&](const OpenFolder &folder, bool &isRoot) {
                if (c.call == RootTest)
                    return c.failure;
                if (c.call == Capacity) {
                    isRoot = true;
                    return SysResult{};
                }
                return real.isVolumeRoot(folder, isRoot);
            };
            calls.queryVolumeCapacity = [&](const OpenFolder &, std::uint64_t &) { return c.failure; };
            for (int walkers : {1, 16}) {
                debugMessages.clear();
                startGone = false;
                // A walk that never ends (a walker short of handles waiting for ever) must fail, not hang.
                auto walking = std::async(std::launch::async, [&] { return folderStatsReport(native(root).toStdString(), walkers, calls); });
                if (walking.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
                    std::fprintf(stderr, "FAIL: %s, %d walkers: the walk did not end within 30 s\n", c.name, walkers);
                    std::_Exit(1);
                }
                const std::optional<Report> report = walking.get();
                const QString what = QString("%1, %2 walkers").arg(c.name).arg(walkers);
                QVERIFY2(bool(report) == bool(c.expected), qPrintable(what));
                if (c.expected) {
                    QCOMPARE(report->entries.size(), 3);
                    QVERIFY2(report->entries.at(0).value == formatByteSize(c.expected->bytes), qPrintable(what + ": " + report->entries.at(0).value));
                    QVERIFY2(report->entries.at(1).value == QString::number(c.expected->folders), qPrintable(what + ": folders " + report->entries.at(1).value));
                    QVERIFY2(report->entries.at(2).value == QString::number(c.expected->files), qPrintable(what + ": files " + report->entries.at(2).value));
                }
                QVERIFY2(debugMessages.isEmpty() != c.logged, qPrintable(what + ": " + debugMessages.join(" | ")));
                // In the system's words for what failed, not for a later step's failure.
                QVERIFY2(!c.logged || c.failure.ok() || debugMessages.join(' ').contains(QString::fromStdString(errorTextOf(c.failure.code))), qPrintable(what + ": " + debugMessages.join(" | ")));
            }
        }
        const std::optional<Report> untouched = folderStatsReport(native(root).toStdString());
        QVERIFY(untouched);
        QCOMPARE(untouched->entries.at(0).value, formatByteSize(whole.bytes));
    }

    // Guards against a walk that ran out of file descriptors passing for a result.
    void listingWithoutFileDescriptors()
    {
        const QString root = makeFolder("starved");
        writeBytes(native(root + "/x"), 5);
        std::vector<int> held;
        for (int fd; (fd = ::dup(0)) >= 0;)
            held.push_back(fd);
        const WalkResult r = walk(root);
        for (int fd : held)
            ::close(fd);
        QVERIFY(!r.reported);
        QCOMPARE(r.messages, 1);
        QVERIFY(debugMessages.first().contains("Too many open files"));
    }

    // Guards against a walker short of file handles waiting for ever, or re-arming its wait on
    // failed opens: with one handle free for listings, one listing holds it for 12 s while two other
    // folders wait for it; after five waits of 2 s that saw no listing close, the walk ends with no
    // report, each message saying why. And against a hopeless walk (no handle for any listing
    // but the start folder's) taking those waits at all: it says so within the first wait's 2 s;
    // and against a wait that a listing's close does not end: with two handles for listings, ten
    // listings of 2.2 s each, and walkers short of handles all along for 11 s, which must not
    // give up while listings close.
    void waitForHandlesIsBounded()
    {
        if (!dlsym(RTLD_DEFAULT, "vuroListingFaultLoaded"))
            QSKIP("needs the listing fault library preloaded, as CTest does");
        const QString root = makeFolder("bounded");
        makeFolder("bounded/hangs1");
        makeFolder("bounded/hangs2");
        // A third, so that a walker is still waiting when another gives up: it gives up too, and
        // says why, never lists a folder it did not open.
        makeFolder("bounded/third");
        const QString slow = makeFolder("slow-listings");
        for (int i = 0; i < 10; ++i)
            makeFolder(QString("slow-listings/slow%1").arg(i));
        // The handles left: the start folder's, held throughout, and none, one or two listings'.
        for (int free : {1, 2, 3}) {
            std::vector<int> held;
            for (int fd; (fd = ::dup(0)) >= 0;)
                held.push_back(fd);
            for (int i = 0; i < free; ++i) {
                ::close(held.back());
                held.pop_back();
            }
            debugMessages.clear();
            QElapsedTimer took;
            took.start();
            const std::optional<FolderTotals> totals =
                walkFolder(native((free == 3 ? slow : root) + '/').toStdString(), 16, SystemCalls(), std::chrono::milliseconds(0));
            const qint64 ms = took.elapsed();
            for (int fd : held)
                ::close(fd);
            if (free == 3) {
                QVERIFY2(totals && totals->folders == 10, qPrintable(debugMessages.join('\n')));
                continue;
            }
            QVERIFY(!totals);
            QVERIFY2(free > 1 || ms < 2000, qPrintable(QString("a hopeless walk said so after %1 ms").arg(ms)));
            QVERIFY(!debugMessages.isEmpty());
            for (const QString &message : debugMessages)
                QVERIFY2(message.contains("cannot open directory: Too many open files"), qPrintable(message));
        }
    }

    // Guards against walkers that take turns where they need not: with handles to spare, two
    // subfolders' opens are under way at once.
    void walkersOpenAtOnce()
    {
        const QString root = makeFolder("at-once");
        for (int i = 0; i < 8; ++i)
            makeFolder(QString("at-once/s%1").arg(i));
        std::atomic<int> opening{0}, most{0};
        SystemCalls slowOpens;
        slowOpens.openSubfolder = [&](const OpenFolder &start, const std::string &relative, const ListedFolder &listed, OpenFolder &folder) {
            const int now = ++opening;
            for (int was = most.load(); now > was && !most.compare_exchange_weak(was, now);) {
            }
            QThread::msleep(20);
            --opening;
            return openSubfolder(start, relative, listed, folder);
        };
        const std::optional<FolderTotals> totals = walkFolder(native(root + '/').toStdString(), 16, slowOpens, std::chrono::milliseconds(0));
        QVERIFY(totals && totals->folders == 8);
        QVERIFY2(most.load() >= 2, qPrintable(QString("at most %1 open under way at once").arg(most.load())));
    }

    // Guards against a total past 2^64 - 1 wrapping round to a small size: it stays at the top.
    // Three sparse files of 2^63 - 1 bytes need a file system that holds them (tmpfs), so this
    // runs in a mount namespace of its own.
    void totalsPastTheTopSaturate()
    {
        if (const char *reason = enterOwnMountNamespace())
            QSKIP(reason);
        const QString root = makeFolder("huge");
        QCOMPARE(::mount("tmpfs", native(root).constData(), "tmpfs", 0, "size=1m"), 0);
        for (int i = 0; i < 3; ++i)
            writeBytes(native(root + QString("/h%1").arg(i)), off_t(~std::uint64_t(0) >> 1));
        const WalkResult r = walk(root);
        ::umount2(native(root).constData(), MNT_DETACH);
        QCOMPARE(r.files, std::uint64_t(3));
        QCOMPARE(r.total, ~std::uint64_t(0));
        QCOMPARE(formatByteSize(r.total), QString("15.9 EB"));
    }

    // Guards against a folder that loops back without being a link (a bind mount of a folder
    // inside itself) being walked round again, its files counted once more at every turn.
    // Runs last: it moves this test into a mount namespace of its own.
    void folderMountedInsideItself()
    {
        if (const char *reason = enterOwnMountNamespace())
            QSKIP(reason);
        // In an ordinary folder, and at the root of a tmpfs, whose file number is 1.
        for (const bool tmpfsRoot : {false, true}) {
            const QString root = makeFolder(tmpfsRoot ? "looped-tmpfs" : "looped");
            if (tmpfsRoot)
                QCOMPARE(::mount("tmpfs", native(root).constData(), "tmpfs", 0, "size=1m"), 0);
            makeFolder(QFileInfo(root).fileName() + "/sub/again");
            makeFolder(QFileInfo(root).fileName() + "/also");
            writeBytes(native(root + "/f"), 5);
            writeBytes(native(root + "/sub/g"), 7);
            const QStringList mountPoints = {root + "/sub/again", root + "/also"};
            for (const QString &point : mountPoints)
                QCOMPARE(::mount(native(root).constData(), native(point).constData(), nullptr, MS_BIND, nullptr), 0);
            const WalkResult r = walk(root);
            for (const QString &point : mountPoints + (tmpfsRoot ? QStringList{root} : QStringList()))
                ::umount2(native(point).constData(), MNT_DETACH);
            QCOMPARE(r.total, std::uint64_t(12));
            QCOMPARE(r.files, std::uint64_t(2));
            QCOMPARE(r.folders, std::uint64_t(3)); // sub, and both mount points, counted but not walked
            QCOMPARE(r.messages, 2);
        }
    }
};

QTEST_GUILESS_MAIN(FolderStatsTest)
#include "folderstats_test.moc"
