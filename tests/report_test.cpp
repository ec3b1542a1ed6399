#include "report/report.h"
#include "platform/wtf8.h"
#include "report/guard.h"
#include "report/termination.h"
#include "report/writer.h"
#include "support/seam.h"
#include "support/trees.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <new>
#include <thread>

#include <sys/mount.h>
#include <sys/xattr.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Writes the list as the result file at path, through the writer's calls.
bool writeJsonReport(const ReportList &list, const QString &path, const SystemCalls &calls = SystemCalls())
{
    ResultPlace place;
    if (!openResultPlace(QFile::encodeName(path).toStdString(), place).ok())
        return false;
    return writeResultFile(place, renderReportFile(list).toStdString(), calls);
}

const char *const Md5Empty = "d41d8cd98f00b204e9800998ecf8427e";
const char *const Sha1Empty = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

// The writer's calls, each recorded by name in order, and the k-th call (counting from 1) made to
// fail with `failure` instead of running; 0 fails none. Sleeps are recorded, not slept.
struct WatchedCalls {
    std::vector<std::string> made;
    int failAt = 0;
    SysResult failure;
    SystemCalls calls;

    explicit WatchedCalls(const SystemCalls &real = SystemCalls())
    {
        calls = wrapEachCall(real, [this](const char *name, auto real) { return wrap(name, real); });
        calls.sleepMilliseconds = [this](int ms) { made.push_back("sleep " + std::to_string(ms)); };
    }
    WatchedCalls(const WatchedCalls &) = delete;

    template <typename... Args>
    std::function<SysResult(Args...)> wrap(const char *name, std::function<SysResult(Args...)> real)
    {
        return [this, name, real](Args... args) {
            made.push_back(name);
            if (int(made.size() - sleeps()) == failAt)
                return failure;
            return real(args...);
        };
    }
    std::size_t sleeps() const
    {
        return std::size_t(std::count_if(made.begin(), made.end(), [](const std::string &call) { return call.rfind("sleep", 0) == 0; }));
    }
    // The name of the k-th call, sleeps not counted; "none" past the last.
    std::string nameOfCall(int k) const
    {
        for (const std::string &call : made) {
            if (call.rfind("sleep", 0) != 0 && --k == 0)
                return call;
        }
        return "none";
    }
    int position(const std::string &name) const
    {
        const auto found = std::find(made.begin(), made.end(), name);
        return found == made.end() ? -1 : int(found - made.begin());
    }
};

// The names in folder besides the given ones: what a writer left behind.
QStringList leftovers(const QString &folder, const QStringList &expected)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : expected)
        names.removeAll(name);
    return names;
}

} // namespace

class ReportTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    // Guards against a layout the viewer cannot parse: indentation, commas, the key's own space.
    void renderLayout()
    {
        QCOMPARE(renderJsonReport({{"MD5", ""}, {"SHA1", ""}}),
                 QByteArray("[\n    {\n        \"MD5\": \"\"\n    },\n    {\n        \"SHA1\": \"\"\n    }\n]\n"));
        QCOMPARE(renderJsonReport({{"Folder Count ", "7"}}),
                 QByteArray("[\n    {\n        \"Folder Count \": \"7\"\n    }\n]\n"));
        QCOMPARE(renderJsonReport({{"K", "a\"b\\c"}}),
                 QByteArray("[\n    {\n        \"K\": \"a\\\"b\\\\c\"\n    }\n]\n"));
    }

    // Guards against leftovers of a longer old report, and against writing where it must not.
    void writeReplacesOrSkips()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("r.json");
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(4096, 'x'));
        old.close();
        QVERIFY(writeJsonReport({{"MD5", "d41d8cd98f00b204e9800998ecf8427e"}}, path));
        QCOMPARE(readFile(path),
                 QByteArray("[\n    {\n        \"MD5\": \"d41d8cd98f00b204e9800998ecf8427e\"\n    }\n]\n"));

        QVERIFY(!writeJsonReport({{"MD5", ""}}, dir.filePath("missing/r.json")));
        QVERIFY(!QFile::exists(dir.filePath("missing")));
        QVERIFY(!writeJsonReport({{"MD5", ""}}, dir.path())); // a folder: nothing

        // A FIFO would block the open until a reader came; it must be left alone at once.
        const QString fifo = dir.filePath("pipe.json");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!writeJsonReport({{"MD5", ""}}, fifo));
        QVERIFY(QFileInfo(fifo).exists() && !QFileInfo(fifo).isFile());
    }

    // Guards against a report renamed into place before its bytes are on the device, where a
    // crash would leave an empty or torn result instead of the earlier one.
    void flushBeforeRename()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("r.json");
        for (const char *publish : {"nameUnnamedFile", "renameOverResult"}) {
            WatchedCalls watched;
            QVERIFY(writeJsonReport({{"MD5", Md5Empty}}, path, watched.calls));
            const int flushed = watched.position("flushFile");
            QVERIFY2(flushed >= 0 && flushed < watched.position(publish), publish);
        }
    }

    // Guards against any one failing call of the writer losing the earlier result, leaving part of
    // a report or a file of its own behind, passing for success, or running out of memory without
    // a word: each call of a new and of a replacing write fails in turn, with each kind of failure
    // the systems give.
    void everyCallFailingInTurn()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("r.json");
        const ReportList list = {{"MD5", Md5Empty}, {"SHA1", Sha1Empty}};
        const QByteArray report = expectedJson({{"MD5", Md5Empty}, {"SHA1", Sha1Empty}});
        const QByteArray earlier = "the earlier result";
        const SysResult failures[] = {resultOf(EIO), {SysError::Denied, EACCES}, {SysError::Locked, EBUSY},
                                      resultOf(ENOSPC), {SysError::NotSupported, EOPNOTSUPP},
                                      {SysError::Exists, EEXIST}, {SysError::ReadOnly, EROFS},
                                      {SysError::OutOfMemory, ENOMEM}};
        // A new result, an earlier one, an earlier one whose rename is refused for good (held by
        // another program), so that it is written in place, and a new one in a folder that refuses
        // the writer's temporary names, so that it is written under its own name.
        const SystemCalls real;
        SystemCalls refusing, noTemporaries;
        refusing.renameOverResult = [](const ResultPlace &, const Handle &, const std::string &) { return SysResult{SysError::Locked, EBUSY}; };
        noTemporaries.createUnnamedFile = [](const ResultPlace &, Handle &) { return SysResult{SysError::NotSupported, EOPNOTSUPP}; };
        noTemporaries.createNamedFile = [&](const ResultPlace &place, const std::string &name, Handle &file) {
            return name == place.name ? real.createNamedFile(place, name, file) : SysResult{SysError::Denied, EACCES};
        };
        int runs = 0;
        for (int setting : {0, 1, 2, 3}) {
            const bool exists = setting == 1 || setting == 2;
            const SystemCalls base = setting == 2 ? refusing : setting == 3 ? noTemporaries : SystemCalls();
            WatchedCalls clean(base);
            QFile::remove(path);
            if (exists)
                QVERIFY(writeFile(path, earlier));
            QVERIFY(writeJsonReport(list, path, clean.calls));
            const int calls = int(clean.made.size() - clean.sleeps());
            for (int k = 1; k <= calls + 1; ++k) {
                for (const SysResult &failure : failures) {
                    QFile::remove(path);
                    if (exists)
                        QVERIFY(writeFile(path, earlier));
                    WatchedCalls watched(base);
                    watched.failAt = k;
                    watched.failure = failure;
                    bool written = false, threw = false;
                    try {
                        written = writeJsonReport(list, path, watched.calls);
                    } catch (const std::bad_alloc &) {
                        threw = true;
                    }
                    ++runs;
                    const QByteArray after = QFileInfo::exists(path) ? readFile(path) : QByteArray("<none>");
                    const QString what = QString("call %1 (%2) failing with %3, %4 result")
                                             .arg(k).arg(watched.nameOfCall(k).c_str())
                                             .arg(errorTextOf(failure.code).c_str(), exists ? "existing" : "new");
                    // Out of memory is never a quiet "no report": it reaches the top, which says so.
                    QVERIFY2(threw == (failure.kind == SysError::OutOfMemory && !written), qPrintable(what));
                    if (written)
                        QVERIFY2(after == report, qPrintable(what + ": reported success, file holds " + after));
                    else
                        QVERIFY2(after == (exists ? earlier : QByteArray("<none>")), qPrintable(what + ": file holds " + after));
                    QVERIFY2(leftovers(dir.path(), {"r.json"}).isEmpty(), qPrintable(what + ": left " + leftovers(dir.path(), {"r.json"}).join(' ')));
                }
            }
        }
        qInfo("%d runs of the writer, each with one call failing", runs);
    }

    // Guards against an earlier result lost to a report that could not be written in place (the
    // rename refused for good, then the write failing half-way): its contents are put back; an
    // earlier file larger than any report is not held, and is at least never left half-written.
    // And against the temporary file left where its first removal fails (a network blip).
    void inPlaceFailureKeepsEarlier()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("r.json");
        const ReportList list = {{"MD5", Md5Empty}, {"SHA1", Sha1Empty}};
        for (const QByteArray &earlier : {QByteArray("the earlier result"), QByteArray(100 * 1024, 'x')}) {
            for (bool restoreFails : {false, true}) {
                QVERIFY(writeFile(path, earlier));
                SystemCalls calls;
                const SystemCalls real;
                int writes = 0;
                calls.renameOverResult = [](const ResultPlace &, const Handle &, const std::string &) {
                    return SysResult{SysError::Locked, EBUSY};
                };
                calls.writeAll = [&](const Handle &file, const std::string &bytes) {
                    // The second write is the report's, in place: half of it goes in, then the disk is full;
                    // the third puts the earlier contents back, or fails the same way.
                    if (++writes != 2 && (writes != 3 || !restoreFails))
                        return real.writeAll(file, bytes);
                    real.writeAll(file, bytes.substr(0, bytes.size() / 2));
                    return resultOf(ENOSPC);
                };
                int removals = 0;
                calls.removeName = [&](const ResultPlace &place, const std::string &name) {
                    return ++removals == 1 ? resultOf(EIO) : real.removeName(place, name);
                };
                calls.sleepMilliseconds = [](int) {};
                QVERIFY(!writeJsonReport(list, path, calls));
                QCOMPARE(writes, earlier.size() < 1000 ? 3 : 2);
                QCOMPARE(removals, 2);
                QCOMPARE(readFile(path), earlier.size() < 1000 && !restoreFails ? earlier : QByteArray());
                QVERIFY(leftovers(dir.path(), {"r.json"}).isEmpty());
            }
        }
    }

    // Guards against giving up on a result that another program holds for a while (a scanner, an
    // indexer): a rename refused for 1.5 s is waited out and replaces the file whole; one refused
    // for good, as Windows refuses it (sharing) or denies it, ends in the report written in place.
    void renameRefusedByAHolder()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("held.json");
        const ReportList list = {{"MD5", Md5Empty}};
        for (const SysResult &refusal : {SysResult{SysError::Locked, EBUSY}, SysResult{SysError::Denied, EACCES}}) {
            for (bool forGood : {false, true}) {
                QVERIFY(writeFile(path, "earlier"));
                int elapsedMs = 0;
                bool renamed = false;
                const SystemCalls real;
                SystemCalls calls;
                calls.sleepMilliseconds = [&](int ms) { elapsedMs += ms; };
                calls.renameOverResult = [&](const ResultPlace &place, const Handle &file, const std::string &from) {
                    if (forGood || elapsedMs < 1500)
                        return refusal;
                    renamed = real.renameOverResult(place, file, from).ok();
                    return renamed ? SysResult{} : resultOf(EIO);
                };
                const QString what = QString("%1, %2").arg(errorTextOf(refusal.code).c_str(), forGood ? "for good" : "for 1.5 s");
                QVERIFY2(writeJsonReport(list, path, calls), qPrintable(what));
                QCOMPARE(readFile(path), expectedJson({{"MD5", Md5Empty}}));
                QVERIFY2(renamed != forGood, qPrintable(what));
                QVERIFY2(leftovers(dir.path(), {"held.json"}).isEmpty(), qPrintable(what));
            }
        }
    }

    // Guards against no report where another writer makes the result just before the new file
    // takes its name: the other's file is then replaced, as an earlier result is.
    void newResultMadeMeanwhile()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("new.json");
        const SystemCalls real;
        SystemCalls calls;
        calls.nameUnnamedFile = [&](const ResultPlace &place, const Handle &file, const std::string &name) {
            if (name == place.name)
                writeFile(path, "another writer's");
            return real.nameUnnamedFile(place, file, name);
        };
        QVERIFY(writeJsonReport({{"MD5", Md5Empty}}, path, calls));
        QCOMPARE(readFile(path), expectedJson({{"MD5", Md5Empty}}));
        QVERIFY(leftovers(dir.path(), {"new.json"}).isEmpty());
    }

    // Guards against a new result that failed half-way staying behind where the folder refuses
    // the writer's temporary names as well (two faults at once): the file made under the result's
    // own name is removed again.
    void newResultWhereNoTemporaryCanBeMade()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("new.json");
        const SystemCalls real;
        SystemCalls calls;
        calls.createUnnamedFile = [](const ResultPlace &, Handle &) { return SysResult{SysError::NotSupported, EOPNOTSUPP}; };
        calls.createNamedFile = [&](const ResultPlace &place, const std::string &name, Handle &file) {
            return name == place.name ? real.createNamedFile(place, name, file) : SysResult{SysError::Denied, EACCES};
        };
        calls.writeAll = [&](const Handle &file, const std::string &bytes) {
            real.writeAll(file, bytes.substr(0, bytes.size() / 2));
            return resultOf(ENOSPC);
        };
        QVERIFY(!writeJsonReport({{"MD5", Md5Empty}}, path, calls));
        QVERIFY(leftovers(dir.path(), {}).isEmpty());
        calls.writeAll = real.writeAll;
        QVERIFY(writeJsonReport({{"MD5", Md5Empty}}, path, calls));
        QCOMPARE(readFile(path), expectedJson({{"MD5", Md5Empty}}));
        // Another writer's result, made under the name just before this one's: never written into.
        QVERIFY(QFile::remove(path));
        const auto madeMeanwhile = calls.createNamedFile;
        calls.createNamedFile = [&](const ResultPlace &place, const std::string &name, Handle &file) {
            if (name == place.name)
                writeFile(path, "another writer's longer result");
            return madeMeanwhile(place, name, file);
        };
        QVERIFY(!writeJsonReport({{"MD5", Md5Empty}}, path, calls));
        QCOMPARE(readFile(path), QByteArray("another writer's longer result"));
    }

    // Guards against a report written through a hard link that someone else planted: only where
    // the system lets nobody link another's file, or where the helper has no more rights than its
    // user and the file is theirs, does every name see the report (written in place); else the
    // result is replaced whole and the other name keeps what it held. Where it cannot be replaced
    // whole, there is no report rather than one written through the link.
    void hardLinkedResults()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("linked.json"), alias = dir.filePath("planted");
        struct Case {
            bool protectedLinks, elevated, own;
            bool inPlace;
        };
        for (const Case &c : {Case{true, true, false, true}, Case{false, true, true, false}, Case{false, false, true, true},
                              Case{false, false, false, false}}) {
            QFile::remove(path);
            QFile::remove(alias);
            QVERIFY(writeFile(path, "earlier"));
            QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(alias).constData()), 0);
            SystemCalls calls;
            calls.hardLinksProtected = [&] { return c.protectedLinks; };
            calls.runsElevated = [&] { return c.elevated; };
            calls.isOwnedByUser = [&](const ResultPlace &, bool &own) {
                own = c.own;
                return SysResult{};
            };
            const QString what = QString("protected %1, elevated %2, own %3").arg(c.protectedLinks).arg(c.elevated).arg(c.own);
            QVERIFY2(writeJsonReport({{"MD5", Md5Empty}}, path, calls), qPrintable(what));
            QVERIFY2(readFile(path).contains(Md5Empty), qPrintable(what));
            QVERIFY2(readFile(alias) == (c.inPlace ? readFile(path) : QByteArray("earlier")), qPrintable(what));
            if (c.inPlace)
                continue;
            // No whole replacement possible here: nothing written through the link either.
            calls.createUnnamedFile = [](const ResultPlace &, Handle &) { return SysResult{SysError::Denied, EACCES}; };
            calls.createNamedFile = [](const ResultPlace &, const std::string &, Handle &) { return SysResult{SysError::Denied, EACCES}; };
            QFile::remove(path);
            QCOMPARE(::link(QFile::encodeName(alias).constData(), QFile::encodeName(path).constData()), 0);
            QVERIFY2(!writeJsonReport({{"SHA1", Sha1Empty}}, path, calls), qPrintable(what));
            QVERIFY2(readFile(alias) == "earlier" && readFile(path) == "earlier", qPrintable(what));
        }
    }

    // Guards against a replaced result losing what its owner set on it: permissions, owner and
    // group, extended attributes and access control list, and its other hard links' content.
    void earlierFileAttributesKept()
    {
        QTemporaryDir dir{scratchTemplate()};
        const QString path = dir.filePath("own.json");
        const QByteArray native = QFile::encodeName(path);
        QVERIFY(writeFile(path, "earlier"));
        // Set-group-ID too: a permission bit beyond the nine that a copy of "rwx" bits would lose.
        QCOMPARE(::chmod(native.constData(), 02640), 0);
        const bool root = ::geteuid() == 0;
        if (root)
            QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
        // And one of no bytes, a value like any other.
        const bool tagged = ::setxattr(native.constData(), "user.tag", "kept", 4, 0) == 0 &&
                            ::setxattr(native.constData(), "user.empty", "", 0, 0) == 0;
        struct stat earlier;
        QCOMPARE(::stat(native.constData(), &earlier), 0);
        QProcess setfacl;
        setfacl.start("setfacl", {"-m", "u:65534:rw", path});
        const bool acl = setfacl.waitForFinished(10000) && setfacl.exitCode() == 0 && setfacl.exitStatus() == QProcess::NormalExit;
        QVERIFY(writeJsonReport({{"MD5", Md5Empty}}, path));
        struct stat info;
        QCOMPARE(::stat(native.constData(), &info), 0);
        QVERIFY2(info.st_ino != earlier.st_ino, "written over, not replaced whole");
        QCOMPARE(info.st_mode & 07777, mode_t(acl ? 02660 : 02640)); // an ACL's mask shows in the group bits
        if (root) {
            QCOMPARE(info.st_uid, uid_t(65534));
            QCOMPARE(info.st_gid, gid_t(65534));
        }
        char value[16] = {};
        if (tagged) {
            QCOMPARE(QByteArray(value, int(::getxattr(native.constData(), "user.tag", value, sizeof value))), QByteArray("kept"));
            QCOMPARE(::getxattr(native.constData(), "user.empty", value, sizeof value), ssize_t(0));
        }
        if (acl) {
            QProcess getfacl;
            getfacl.start("getfacl", {"-c", path});
            QVERIFY(getfacl.waitForFinished(10000));
            QVERIFY(getfacl.readAllStandardOutput().contains("user:nobody:rw-"));
        }
        // A second name of the earlier file sees the new report too.
        const QString alias = dir.filePath("alias.json");
        QVERIFY(::link(native.constData(), QFile::encodeName(alias).constData()) == 0);
        QVERIFY(writeJsonReport({{"SHA1", Sha1Empty}}, path));
        QCOMPARE(readFile(alias), readFile(path));
        QVERIFY(readFile(alias).contains(Sha1Empty));
        if (!tagged || !acl || !root)
            qInfo("partly checked: %s%s%s", tagged ? "" : "this file system takes no user attributes; ",
                  acl ? "" : "setfacl is missing or refused here; ", root ? "" : "owners need root to change");
    }

    // Guards against the report replacing its own target: by identity where both are known; by
    // name, in any letter case, where the system gives no file numbers; and whenever the file at
    // the result's place cannot be looked at. Across volumes (the place's file shown on another,
    // in whole seconds as sshfs shows it), the size and then the bytes, whatever the times: the
    // same bytes are one file seen through two views; bytes that cannot be compared (no such
    // target path) count as the same; other bytes, or another size, are another file.
    void targetGuard_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("target"); // t.json, other.json, or "twin": a file of these bytes
        QTest::addColumn<QString>("how");    // "numbered", "unnumbered", "other's number", "mounted", "mounted, larger"
        QTest::addColumn<QString>("targetPath");
        QTest::addColumn<bool>("mightBe");
        QTest::newRow("same number") << "t.json" << "t.json" << "numbered" << "whatever" << true;
        QTest::newRow("other number, same name") << "t.json" << "other.json" << "numbered" << "t.json" << false;
        QTest::newRow("nothing at the place") << "missing.json" << "t.json" << "numbered" << "missing.json" << false;
        QTest::newRow("no numbers, name in other case") << "t.json" << "other.json" << "unnumbered" << "T.JSON" << true;
        QTest::newRow("no numbers, other name") << "t.json" << "other.json" << "unnumbered" << "other.json" << false;
        // Every mode-0 report has 66 bytes, and FAT's times are 2 s: on one volume, the number alone.
        QTest::newRow("size and time alike, other number") << "t.json" << "t.json" << "other's number" << "other.json" << false;
        QTest::newRow("other volume, same bytes") << "t.json" << "target" << "mounted" << "twin" << true;
        QTest::newRow("other volume, other bytes") << "t.json" << "tarGET" << "mounted" << "twin" << false;
        QTest::newRow("other volume, bytes unreadable") << "t.json" << "target" << "mounted" << "missing" << true;
        QTest::newRow("other volume, other size") << "t.json" << "target" << "mounted, larger" << "missing" << false;
        QTest::newRow("place past the name limit") << QString(300, 'n') << "t.json" << "numbered" << "x" << true;
    }

    void targetGuard()
    {
        QFETCH(QString, place);
        QFETCH(QString, target);
        QFETCH(QString, how);
        QFETCH(QString, targetPath);
        QFETCH(bool, mightBe);
        QTemporaryDir dir{scratchTemplate()};
        QVERIFY(writeFile(dir.filePath("t.json"), "target") && writeFile(dir.filePath("other.json"), "other"));
        const bool twin = target != "t.json" && target != "other.json";
        QVERIFY(!twin || writeFile(dir.filePath("twin"), target.toUtf8()));
        FileStatus status, other;
        QVERIFY(statusOfPath(QFile::encodeName(dir.filePath(twin ? "twin" : target)).toStdString(), true, status).ok());
        QVERIFY(statusOfPath(QFile::encodeName(dir.filePath("other.json")).toStdString(), true, other).ok());
        status.identity = how == "unnumbered" ? FileIdentity() : how == "other's number" ? other.identity : status.identity;
        status.size += how == "mounted, larger" ? 1 : 0;
        SystemCalls calls;
        if (how.startsWith("mounted")) {
            calls.statusOfPlace = [](const ResultPlace &place, FileStatus &status) {
                const SysResult looked = statusOfPlace(place, status);
                status.identity.volume += 1;
                status.modified -= status.modified % 1000000000;
                return looked;
            };
        }
        ResultPlace at;
        // A name past the limit is set after the folder opened: then it cannot be looked at.
        QVERIFY(openResultPlace(QFile::encodeName(dir.filePath(place.size() > 255 ? "t.json" : place)).toStdString(), at).ok());
        at.name = QFile::encodeName(place).toStdString();
        const std::string path = QFile::encodeName(targetPath == "twin" ? dir.filePath("twin") : targetPath).toStdString();
        QCOMPARE(mightBeTarget(at, status, path, calls), mightBe);
    }

    // Guards against a whole delivery without file numbers comparing the result's name with the
    // target's path rather than its last name. (Apart from targetGuard's rows: it delivers.)
    void deliveryWithoutNumbers()
    {
        QTemporaryDir dir{scratchTemplate()};
        QVERIFY(QDir(dir.path()).mkpath("sub"));
        QVERIFY(writeFile(dir.filePath("sub/t.json"), "the target"));
        QVERIFY(writeFile(dir.filePath("sub/T.JSON"), "a result"));
        const std::string targetPath = QFile::encodeName(dir.filePath("sub/t.json")).toStdString();
        FileStatus unnumbered;
        QVERIFY(statusOfPath(targetPath, true, unnumbered).ok());
        unnumbered.identity = FileIdentity();
        QVERIFY(!deliverReport(targetPath, TargetKind::File, QFile::encodeName(dir.filePath("sub/T.JSON")).toStdString(),
                               [&] { return std::optional<Report>(Report{{{"MD5", Md5Empty}}, unnumbered, Handle()}); }));
        QCOMPARE(readFile(dir.filePath("sub/T.JSON")), QByteArray("a result"));
    }

    // Guards against the bound on a termination's wait counting time the process spends stopped:
    // a step that needs 0.3 s of its own processor time, a bound of 2 s, and a stop of 3 s in the
    // middle; the step must still end inside the bound.
    void terminationBoundSkipsStops()
    {
        if (QByteArray(TEST_SANITIZER) == "thread")
            QSKIP("ThreadSanitizer starts no thread in a forked child, where this case runs its step");
        // The stopped child in a process group of its own: were it in the test's, and that group
        // orphaned meanwhile (the shell that started CTest gone), the kernel would send the whole
        // group SIGHUP and SIGCONT, the test too.
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::setpgid(0, 0);
            TerminationGate gate;
            std::atomic<bool> left{false};
            gate.enter();
            std::thread step([&] {
                for (timespec used{}; ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0 && used.tv_nsec < 300000000 && used.tv_sec == 0;) {
                }
                left = true;
                gate.leave();
            });
            gate.waitForSteps(std::chrono::milliseconds(2000));
            const bool over = left;
            step.join();
            ::_exit(over ? 0 : 1);
        }
        ::setpgid(child, child);
        QTest::qSleep(50);
        ::kill(child, SIGSTOP);
        QTest::qSleep(3000);
        ::kill(child, SIGCONT);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    // Guards against names with unpaired surrogates (which NTFS keeps) or pairs being changed on
    // their way through byte strings: WTF-8 is the exact inverse, and UTF-8 where text is valid.
    void wtf8_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("ascii") << QString("abc") << QByteArray("abc");
        QTest::newRow("two bytes") << QString(QChar(0xe9)) << QByteArray("\xc3\xa9");
        QTest::newRow("two bytes, lowest lead") << QString(QChar(0xa9)) << QByteArray("\xc2\xa9");
        QTest::newRow("surrogate pair") << QString::fromUtf16(u"\U0001F600") << QByteArray("\xf0\x9f\x98\x80");
        QTest::newRow("lone high") << (QString(QChar(0xD800)) + "x") << QByteArray("\xed\xa0\x80x");
        QTest::newRow("lone low") << QString(QChar(0xDC00)) << QByteArray("\xed\xb0\x80");
        QTest::newRow("low then high") << (QString(QChar(0xDFFF)) + QChar(0xDBFF)) << QByteArray("\xed\xbf\xbf\xed\xaf\xbf");
        QTest::newRow("last pair") << QString::fromUtf16(u"\U0010FFFF") << QByteArray("\xf4\x8f\xbf\xbf");
    }
    void wtf8()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        const std::u16string utf16(reinterpret_cast<const char16_t *>(text.utf16()), std::size_t(text.size()));
        QCOMPARE(QByteArray::fromStdString(wtf8FromUtf16(utf16)), bytes);
        QVERIFY(utf16FromWtf8(bytes.toStdString()) == utf16);
    }

    // Guards against bytes that are no UTF-8 decoding to a name: an overlong form of "/" must not
    // become a separator, nor a point past Unicode a pair. Each is replaced as Qt's decoder does.
    void wtf8FromInvalidBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("overlong slash, two bytes") << QByteArray("a\xc0\xaf" "b");
        QTest::newRow("overlong slash, three bytes") << QByteArray("a\xe0\x80\xaf" "b");
        QTest::newRow("past U+10FFFF") << QByteArray("\xf4\x90\x80\x80");
        QTest::newRow("stray byte") << QByteArray("a\xff" "b");
        QTest::newRow("cut short") << QByteArray("a\xe2\x82");
    }
    void wtf8FromInvalidBytes()
    {
        QFETCH(QByteArray, bytes);
        const QString expected = QString::fromUtf8(bytes);
        QVERIFY(utf16FromWtf8(bytes.toStdString()) == std::u16string(reinterpret_cast<const char16_t *>(expected.utf16()), std::size_t(expected.size())));
    }

    // Guards against a full disk emptying the earlier result, or leaving a temporary file behind.
    // Runs last: it moves this test into a mount namespace of its own, with a tiny file system.
    void fullDiskKeepsEarlierResult()
    {
        if (const char *reason = enterOwnMountNamespace())
            QSKIP(reason);
        QTemporaryDir dir{scratchTemplate()};
        QCOMPARE(::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, "size=64k"), 0);
        const QString path = dir.filePath("r.json");
        const QByteArray earlier = "[\n    {\n        \"MD5\": \"\"\n    }\n]\n";
        QVERIFY(writeJsonReport({{"MD5", ""}}, path));
        QCOMPARE(readFile(path), earlier);
        QFile filler(dir.filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'f')) > 0) {
        }
        filler.close();
        QVERIFY(!writeJsonReport({{"MD5", "d41d8cd98f00b204e9800998ecf8427e"}, {"SHA1", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}}, path));
        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
        const QByteArray after = readFile(path);
        ::umount(QFile::encodeName(dir.path()).constData());
        QCOMPARE(after, earlier);
        QCOMPARE(left, QStringList({"filler", "r.json"}));
    }
};

QTEST_GUILESS_MAIN(ReportTest)
#include "report_test.moc"
