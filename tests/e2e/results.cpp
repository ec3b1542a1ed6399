#include "e2e/e2e.h"

// The end-to-end cases of the result file: never over the target, links as the system follows
// them, names and paths at the limits, kills, locks, file size limits, what the earlier file
// carries.

// Guards against the report replacing the very file it describes.
void EndToEndTest::targetIsNeverOverwritten()
{
    const QByteArray original = "{\"user\": \"data\"}\n";
    for (const char *name : {"data.json", "DATA.JSON"}) {
        const QString target = dir.filePath(name);
        QVERIFY(writeFile(target, original));
        const Run r = run({"2", target});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(target), original);
    }
    const QString target = dir.filePath("data.json");
    QVERIFY(QFile::link(target, dir.filePath("alias.json")));
    for (const QString &result : {target, dir.filePath("alias.json")}) {
        run({"0", target, result});
        QCOMPARE(readFile(target), original);
    }
    // One file through two mounts has two identities: an overlay's upper file is the target
    // seen through the overlay, and the result named by its own folder.
    if (::geteuid() != 0)
        QSKIP("the overlay's case needs root, for a mount namespace with an overlay in it");
    const QString layers = dir.filePath("layers");
    for (const char *folder : {"/lower", "/upper", "/work", "/merged"})
        QVERIFY(QDir().mkpath(layers + folder));
    QVERIFY(writeFile(layers + "/upper/a.json", original));
    const Run r = run({"-m", "--", "sh", "-c",
                       "mount -t overlay overlay -o lowerdir=\"$1/lower\",upperdir=\"$1/upper\",workdir=\"$1/work\" \"$1/merged\" || exit 99; "
                       "\"$2\" 0 \"$1/merged/a.json\" \"$1/upper/a.json\"; \"$2\" 0 \"$1/upper/a.json\" \"$1/merged/a.json\"",
                       "sh", layers, Helper}, "unshare");
    if (r.exitCode == 99)
        QSKIP(qPrintable("no overlay file system here: " + r.err.trimmed()));
    QCOMPARE(r.out.count("IT_MD5_SHA1"), 2);
    QCOMPARE(readFile(layers + "/upper/a.json"), original);
    QProcess::execute("rm", {"-rf", layers});
}

// Guards against the report landing where the system would not put it: a link whose text
// cancels out as text ("sub/..") but not as the system follows it, and chains of links longer
// than the system follows, which it refuses.
void EndToEndTest::resultLinksAsTheSystemFollowsThem()
{
    const QString x = dir.filePath("links-x"), y = dir.filePath("links-y");
    QVERIFY(QDir().mkpath(x) && QDir().mkpath(y + "/inner"));
    const QByteArray precious = "precious\n";
    QVERIFY(writeFile(x + "/t", precious));
    QVERIFY(QFile::link("../links-y/inner", x + "/sub"));
    QVERIFY(QFile::link("sub/../t", x + "/res.json"));
    const QByteArray report = expectedJson({{"MD5", "4ee9c5beec01edf6b964ab48999c0c58"},
                                            {"SHA1", "e101b916f4964ddeb46a171f0b7cd177b58543de"}});
    // The link leads to links-y/t, which is missing: that is the file the report creates.
    checkDigestRun({"2", x + "/t", x + "/res.json"}, y + "/t", report);
    QCOMPARE(readFile(x + "/t"), precious);
    QVERIFY(QFileInfo(x + "/res.json").isSymLink());

    // Chains of links, each to the next, the last to a missing name: the system follows 40
    // in one lookup and refuses 41, and so does the writer.
    for (int length : {40, 41}) {
        QProcess::execute("sh", {"-c", "rm -f \"$0\"/chain*.json \"$0\"/never", x});
        for (int i = 0; i < length; ++i)
            QVERIFY(QFile::link(i == length - 1 ? x + "/never" : x + QString("/chain%1.json").arg(i + 1),
                                x + QString("/chain%1.json").arg(i)));
        checkDigestRun({"2", x + "/t", x + "/chain0.json"}, x + "/never", length == 40 ? report : QByteArray());
        QCOMPARE(readFile(x + "/t"), precious);
        QVERIFY(QFileInfo(x + QString("/chain%1.json").arg(length - 1)).isSymLink());
    }

    // A link re-pointed between the system's following it and its reading (held 1.5 s by
    // strace): where it ends is not known, so neither its old end nor its new one gets the report.
    if (!hasStrace())
        QSKIP("the re-pointed link: strace is not installed");
    QVERIFY(writeFile(x + "/old.json", "old end") && writeFile(x + "/new.json", "new end"));
    QFile::remove(x + "/moving.json");
    QVERIFY(QFile::link("old.json", x + "/moving.json"));
    QProcess helper;
    helper.start("strace", {"-f", "-qq", "-o", "/dev/null", "-e", "inject=readlinkat:delay_enter=1500000", Helper, "2", x + "/t",
                            x + "/moving.json"});
    QVERIFY(helper.waitForStarted());
    // Re-pointed once the system has followed it: just after the helper opened the link's
    // folder, well before the held reading ends.
    QVERIFY(waitUntilHeldOpen(helper.processId(), QFile::encodeName(QFileInfo(x).canonicalFilePath()), 10000));
    QTest::qWait(300);
    QVERIFY(QFile::remove(x + "/moving.json") && QFile::link("new.json", x + "/moving.json"));
    QVERIFY(helper.waitForFinished(10000));
    QCOMPARE(readFile(x + "/old.json"), QByteArray("old end"));
    QCOMPARE(readFile(x + "/new.json"), QByteArray("new end"));
}

// Guards against a stale report staying for a result name near the system's 255-byte limit.
void EndToEndTest::resultNameAtTheLengthLimit()
{
    const QString name = dir.filePath(QString(250, 'n') + ".json");
    QVERIFY(writeFile(name, "the previous target's report"));
    checkDigestRun({"1", abc, name}, name, expectedJson({{"SHA1", Sha1Abc}}));
    QCOMPARE(QDir(dir.path()).entryList({".vuro-*"}, QDir::Files | QDir::Hidden), QStringList());
}

// Guards against no report for ordinary users where the kernel will not name a descriptor
// (kernels before 6.10 without CAP_DAC_READ_SEARCH): the new file is named through its /proc
// link instead, or written under a temporary name where there is no /proc.
void EndToEndTest::unnamedFileNamedThroughProc()
{
    QProcessEnvironment older = preloadedWith({"VURO_FAULT_LINKAT_EMPTY_PATH"});
    const QString out = dir.filePath("older-kernel/r");
    QVERIFY(QDir().mkpath(dir.filePath("older-kernel")));
    // And without /proc, a named temporary, for a new result and over an earlier one.
    for (const char *proc : {"0", "1"}) {
        for (bool earlier : {false, true}) {
            older.insert("VURO_FAULT_NO_PROC", proc);
            QFile::remove(out + ".json");
            QVERIFY(!earlier || writeFile(out + ".json", "earlier"));
            QCOMPARE(run({"1", abc, out}, Helper, {}, older).exitCode, 0);
            QCOMPARE(readFile(out + ".json"), expectedJson({{"SHA1", Sha1Abc}}));
            QCOMPARE(QDir(dir.filePath("older-kernel")).entryList(QDir::Files | QDir::Hidden), QStringList("r.json"));
        }
    }
}

// Guards against a run killed part way leaving a file of its own, or part of a report: the
// helper is killed at each step of writing a new and an earlier result.
void EndToEndTest::killedRunsLeaveNothing()
{
    if (!hasStrace())
        QSKIP("strace is not installed");
    const QString folder = dir.filePath("killed");
    QVERIFY(QDir().mkpath(folder));
    const QByteArray earlier = "the earlier result";
    for (bool exists : {false, true}) {
        // The folder's opening, the flush of the new file, its naming and its rename.
        for (const char *call : {"openat", "fsync", "linkat", "renameat"}) {
            if (!exists && QByteArray(call) == "renameat")
                continue; // a new result is named once, by linkat
            QFile::remove(folder + "/r.json");
            if (exists)
                QVERIFY(writeFile(folder + "/r.json", earlier));
            QStringList strace = {"-f", "-qq", "-o", "/dev/null", "-e", QString("inject=%1:signal=SIGKILL").arg(call)};
            if (QByteArray(call) != "fsync")
                strace = QStringList{"-P", folder} + strace;
            run(strace + QStringList{Helper, "2", abc, folder + "/r"}, "strace");
            const QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden);
            const QString what = QString("killed at %1, %2 result").arg(call, exists ? "earlier" : "no");
            QVERIFY2(readFile(folder + "/r.json") == (exists ? earlier : QByteArray("<missing>")), qPrintable(what));
            // Between naming the new file and renaming it over the earlier one, its name stays.
            const int allowed = (exists ? 1 : 0) + (exists && QByteArray(call) == "renameat" ? 1 : 0);
            QVERIFY2(left.size() <= allowed, qPrintable(what + ": left " + left.join(' ')));
        }
    }
    QProcess::execute("rm", {"-rf", folder});
}

// Guards against a stale result staying when no file can be created beside it (a writable
// result in a read-only folder is written in place), and against helpers writing it in place at
// once leaving a file that is no report whole: each must hold the file from truncation to end;
// and against a lock held a moment by another taken for one held for good.
void EndToEndTest::concurrentInPlaceWriters()
{
    if (!unprivilegedSkip.isEmpty())
        QSKIP(qPrintable(unprivilegedSkip));
    const QString closed = work + "/shared-result";
    QVERIFY(QDir().mkpath(closed));
    QList<QByteArray> reports;
    QStringList targets;
    for (int i = 0; i < 10; ++i) {
        const QString target = work + QString("/writer%1").arg(i);
        const QByteArray content = QByteArray(i * 7 + 1, char('a' + i));
        QVERIFY(writeFile(target, content));
        targets.append(target);
        const QString md5 = referenceDigest("md5sum", target), sha1 = referenceDigest("sha1sum", target);
        // Modes 0, 1 and 2 by turns: reports of three lengths, so that a torn or mixed file shows.
        reports.append(i % 3 == 0 ? expectedJson({{"MD5", md5}}) : i % 3 == 1 ? expectedJson({{"SHA1", sha1}})
                                                                               : expectedJson({{"MD5", md5}, {"SHA1", sha1}}));
    }
    const QString result = closed + "/result.json";
    QVERIFY(writeFile(result, "OLD"));
    QFile::setPermissions(result, QFileDevice::Permissions(0x6666));
    const ScopedPermissions readOnly(closed, QFileDevice::Permissions(0x5555));
    int torn = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int i = 0; i < targets.size(); ++i) {
            writers.emplace_back(new QProcess);
            const QStringList arguments = {QString::number(i % 3), targets.at(i), result};
            if (::geteuid() == 0)
                writers.back()->start("setpriv", QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--", unprivilegedHelper} + arguments);
            else
                writers.back()->start(Helper, arguments);
        }
        for (const auto &writer : writers)
            writer->waitForFinished(60000);
        torn += !reports.contains(readFile(result));
    }
    // Another holding the lock for a second is waited out, not taken for a lock held for good.
    QVERIFY(writeFile(result, "OLD"));
    QProcess holder;
    holder.start("flock", {"-x", result, "sh", "-c", "echo held; sleep 1"});
    QVERIFY2(holder.waitForReadyRead(10000), "flock never took the lock");
    const QStringList arguments = {"0", targets.at(0), result};
    QProcess waiting;
    if (::geteuid() == 0)
        waiting.start("setpriv", QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--", unprivilegedHelper} + arguments);
    else
        waiting.start(Helper, arguments);
    // Nor is the file touched while the other holds the lock.
    QThread::msleep(300);
    const QByteArray meanwhile = readFile(result);
    if (!holder.waitForFinished(0))
        QCOMPARE(meanwhile, QByteArray("OLD"));
    QVERIFY(waiting.waitForFinished(30000));
    holder.waitForFinished(10000);
    QCOMPARE(readFile(result), reports.at(0));
    QCOMPARE(torn, 0);
    QCOMPARE(QDir(closed).entryList(QDir::Files | QDir::Hidden), QStringList("result.json"));
}

// Guards against a file size limit cutting a report short: the limit's signal would end the
// helper mid-write, so the earlier result must stay whole and no file of its own stay behind,
// written in place (a hard-linked result, a read-only folder) or under a named temporary.
void EndToEndTest::fileSizeLimit()
{
    const QString folder = dir.filePath("fsize");
    QVERIFY(QDir().mkpath(folder));
    const QString big = folder + "/big";
    QVERIFY(writeSizedFile(QFile::encodeName(big), 100000));
    const QByteArray earlier = expectedJson({{"MD5", Md5Abc}});
    const QStringList limited = {"prlimit", "--fsize=40", "--"};
    QVERIFY(writeFile(folder + "/hl.json", earlier));
    QVERIFY(QFile::link(folder + "/hl.json", folder + "/hl2.json") || ::link(QFile::encodeName(folder + "/hl.json"), QFile::encodeName(folder + "/hl2.json")) == 0);
    Run r = run({"2", big, folder + "/hl"}, Helper, limited);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(folder + "/hl.json"), earlier);
    QCOMPARE(readFile(folder + "/hl2.json"), earlier);

    const QProcessEnvironment noUnnamed = preloadedWith({"VURO_FAULT_NO_TMPFILE"});
    QVERIFY(writeFile(folder + "/named.json", earlier));
    r = run({"2", big, folder + "/named"}, Helper, limited, noUnnamed);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(folder + "/named.json"), earlier);
    r = run({"2", big, folder + "/fresh"}, Helper, limited, noUnnamed);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList({"big", "hl.json", "hl2.json", "named.json"}));
    QProcess::execute("rm", {"-rf", folder});

    if (!unprivilegedSkip.isEmpty())
        QSKIP(qPrintable("the read-only folder's case: " + unprivilegedSkip));
    const QString closed = work + "/fsize-closed";
    QVERIFY(QDir().mkpath(closed));
    QVERIFY(writeSizedFile(QFile::encodeName(work + "/fsize-big"), 100000));
    QVERIFY(writeFile(closed + "/r.json", earlier));
    QFile::setPermissions(closed + "/r.json", QFileDevice::Permissions(0x6666));
    const ScopedPermissions readOnly(closed, QFileDevice::Permissions(0x5555));
    const QStringList arguments = {"2", work + "/fsize-big", closed + "/r"};
    r = ::geteuid() == 0 ? run(limited.mid(1) + QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", unprivilegedHelper} + arguments, "prlimit")
                         : run(arguments, Helper, limited);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(closed + "/r.json"), earlier);
}

// Guards against what the earlier result carries being dropped: attributes that cannot be
// listed, or read through /proc, which a container or a mount namespace may lack (the
// replacement must still be whole, a new file, and keep them); and against file flags lost.
void EndToEndTest::replacementWithoutProcAndFlags()
{
    const QString folder = dir.filePath("noproc");
    QVERIFY(QDir().mkpath(folder));
    const QByteArray result = QFile::encodeName(folder + "/r.json");
    QVERIFY(writeFile(folder + "/r.json", "earlier"));
    const bool xattrs = ::setxattr(result.constData(), "user.kept", "yes", 3, 0) == 0;
    const bool flags = QProcess::execute("chattr", {"+d", "+A", folder + "/r.json"}) == 0;
    struct stat before, after;
    // Attributes that cannot be listed are not dropped: the earlier file is rewritten, and
    // keeps them. A file system without any has none to carry: the result is replaced whole.
    for (const char *error : {"EIO", "EOPNOTSUPP"}) {
        if (!xattrs)
            break;
        QCOMPARE(::stat(result.constData(), &before), 0);
        const Run r = run({"1", abc, folder + "/r"}, Helper, underStrace({"-e", QString("inject=flistxattr,listxattr:error=%1").arg(error)}));
        QVERIFY2(r.out.contains("IT_MD5_SHA1"), qPrintable(r.err));
        QCOMPARE(readFile(folder + "/r.json"), expectedJson({{"SHA1", Sha1Abc}}));
        QCOMPARE(::stat(result.constData(), &after), 0);
        QVERIFY2((after.st_ino == before.st_ino) == (QByteArray(error) == "EIO"), error);
        QVERIFY2(QByteArray(error) != "EIO" || ::getxattr(result.constData(), "user.kept", nullptr, 0) == 3, "attributes dropped");
    }
    QVERIFY(writeFile(folder + "/r.json", "earlier"));
    QVERIFY(!xattrs || ::setxattr(result.constData(), "user.kept", "yes", 3, 0) == 0);
    QCOMPARE(::stat(result.constData(), &before), 0);
    // As root a private mount namespace; as a user one of their own, where the system allows.
    const QStringList unshare = ::geteuid() == 0 ? QStringList{"unshare", "-m", "--"} : QStringList{"unshare", "-r", "-m", "--"};
    const Run r = run(unshare + QStringList{"sh", "-c", "umount -l /proc && ! test -e /proc/self && exec \"$@\"", "sh", Helper, "1", abc, folder + "/r"}, unshare.first(), {});
    if (!r.out.contains("IT_MD5_SHA1"))
        QSKIP(qPrintable("cannot unmount /proc in a mount namespace here: " + r.err.trimmed()));
    QCOMPARE(readFile(folder + "/r.json"), expectedJson({{"SHA1", Sha1Abc}}));
    QCOMPARE(::stat(result.constData(), &after), 0);
    QVERIFY2(after.st_ino != before.st_ino, "written in place, not replaced whole");
    if (xattrs) {
        char value[8] = {};
        QCOMPARE(::getxattr(result.constData(), "user.kept", value, sizeof value), ssize_t(3));
        QCOMPARE(QByteArray(value), QByteArray("yes"));
    }
    if (!flags)
        QSKIP("this file system has no file flags (chattr refused)");
    QProcess lsattr;
    lsattr.start("lsattr", {"-d", folder + "/r.json"});
    QVERIFY(lsattr.waitForFinished());
    const QByteArray shown = lsattr.readAllStandardOutput().split(' ').value(0);
    QVERIFY2(shown.contains('d') && shown.contains('A'), shown);
    // The new file's own flags that cannot be read (the second flags lookup): the earlier file
    // is rewritten in place and keeps its flags, or out of memory is said and it stays.
    for (const QString error : {"EIO", "ENOMEM"}) {
        QVERIFY(writeFile(folder + "/r.json", "earlier") && QProcess::execute("chattr", {"+d", folder + "/r.json"}) == 0);
        QCOMPARE(::stat(result.constData(), &before), 0);
        const Run r = run({"1", abc, folder + "/r"}, Helper, underStrace({"-e", "inject=ioctl:error=" + error + ":when=2"}));
        QCOMPARE(readFile(folder + "/r.json"), error == "EIO" ? expectedJson({{"SHA1", Sha1Abc}}) : QByteArray("earlier"));
        QVERIFY2(error == "EIO" || r.err.contains("out of memory: no result written"), r.err.constData());
        QVERIFY2(::stat(result.constData(), &after) == 0 && after.st_ino == before.st_ino, qPrintable(error + ": replaced, its flags lost"));
    }
    QProcess::execute("rm", {"-rf", folder});
}

// Guards against a result whose path is near the system's 4,096-byte limit getting no report,
// or being written in place: the writer works from the folder, by short names.
void EndToEndTest::resultPathNearTheLimit()
{
    QByteArray folder = QFile::encodeName(dir.path()) + "/near";
    QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    while (folder.size() < 4096 - 12 - 110) {
        folder += "/" + QByteArray(100, 'p');
        QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    }
    folder += "/" + QByteArray(4094 - 8 - folder.size(), 'q');
    QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    const QByteArray result = folder + "/r.json"; // 4,094 bytes
    QCOMPARE(result.size(), 4094);
    const QString text = QFile::decodeName(result);
    checkDigestRun({"1", abc, text}, text, expectedJson({{"SHA1", Sha1Abc}}));
    struct stat first, second;
    QCOMPARE(::stat(result.constData(), &first), 0);
    QCOMPARE(run({"0", abc, text}).exitCode, 0);
    QCOMPARE(readFile(text), expectedJson({{"MD5", Md5Abc}}));
    QCOMPARE(::stat(result.constData(), &second), 0);
    QVERIFY2(first.st_ino != second.st_ino, "written in place instead of replaced");
    QProcess::execute("rm", {"-rf", dir.filePath("near")});
}
