#include "e2e/e2e.h"

// The end-to-end cases of the folder statistics mode: hand-built trees, folders swapped or gone
// mid-walk, low file limits, planted links.

// Guards against wrong sums, counts, key spelling or order in a folder report.
void EndToEndTest::folderStats()
{
    const QString tree = dir.filePath("tree");
    QVERIFY(QDir(tree).mkpath("sub"));
    QVERIFY(writeSizedFile(QFile::encodeName(tree + "/a"), 1000));
    QVERIFY(writeSizedFile(QFile::encodeName(tree + "/b"), 340));
    for (const char *name : {"/sub/c", "/sub/d", "/sub/e"})
        QVERIFY(writeSizedFile(QFile::encodeName(tree + name), 100));
    const QByteArray expected = folderJson("1.60 KB", 1, 5);
    const QString out = dir.filePath("tree-out");
    checkFolderRun({"3", tree, out}, out + ".json", expected);
    checkFolderRun({"3", tree + "/", out}, out + ".json", expected);
    // Three arguments and a trailing separator: the report lands inside, after the walk.
    checkFolderRun({"3", tree + "/"}, tree + "/.json", expected);
    QFile::remove(tree + "/.json");

    QVERIFY(QDir(dir.path()).mkpath("hollow"));
    checkFolderRun({"3", dir.filePath("hollow"), out}, out + ".json",
                   folderJson("0 bytes", 0, 0));
    // A volume root's capacity replaces an earlier result like any report.
    QVERIFY(writeFile(out + ".json", expected));
    QVERIFY(run({"3", "/", out}).finished);
    QVERIFY(readFile(out + ".json").contains("\"Total Size\""));
    QVERIFY(!readFile(out + ".json").contains("Count"));
    for (const QString &target : {dir.filePath("missing"), abc})
        checkNothingWritten({"3", target, out}, "IT_Dir_Size\n", out + ".json");
    checkNothingWritten({"3"}, "IT_Dir_Size\n", dir.filePath("3.json"));
}

// Guards against the kernel's path of a folder trusted where it names another namespace's
// tree: the start folder a tmpfs of another mount namespace, given through /proc/PID/root,
// walked without openat2 at 5 handles (the checked open); its folder L swapped, at the open
// of L/sub, for a link whose absolute text names, here, a tree of five 1 MB files. The swap is
// refused: L counts with its own file, nothing of the other tree does.
void EndToEndTest::kernelPathOfAnotherNamespace()
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty() || !QByteArray(HELPER_SANITIZER).isEmpty())
        QSKIP("a mount namespace of its own needs root and unshare; the sanitizers' runtimes need more than 5 handles");
    const QString ns = work + "/ns";
    QVERIFY(QDir().mkpath(ns + "/mnt/start/L/sub"));
    for (int i = 0; i < 5; ++i)
        QVERIFY(writeSizedFile(QFile::encodeName(ns + QString("/mnt/start/L/sub/big%1").arg(i)), 1000000));
    QProcess other;
    other.start("unshare", {"-m", "--propagation", "private", "sh", "-c",
                            "mount -t tmpfs none \"$0/mnt\" && mkdir -p \"$0/mnt/start/L/sub\" && printf abc >\"$0/mnt/start/L/f\" && "
                            "touch \"$0/ready\" && exec sleep 60", ns});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(ns + "/ready"), 10000);
    const QString start = QString("/proc/%1/root%2/mnt/start").arg(other.processId()).arg(ns);
    QProcessEnvironment swap = preloadedWith({"VURO_FAULT_NO_OPENAT2"});
    swap.insert("VURO_FAULT_SWAP_AT", "sub");
    swap.insert("VURO_FAULT_SWAP_PATH", start + "/L");
    swap.insert("VURO_FAULT_SWAP_LINK", ns + "/mnt/start/L");
    const QString out = work + "/ns-out";
    const Run r = run({"3", start, out}, Helper, {"bash", "-c", closeInherited, "bash", "prlimit", "--nofile=5:5", "--"}, swap);
    other.kill();
    other.waitForFinished();
    QVERIFY2(readFile(out + ".json") == folderJson("3 bytes", 1, 1),
             qPrintable(readFile(out + ".json") + r.err));
    QProcess::execute("rm", {"-rf", ns});
}

// Guards against a link swapped in for a folder between its listing and its walk being walked,
// or counted: a background loop swaps a folder and a link to a bigger tree under one name while
// the helper runs, with openat2 and without it at the lowest file limit (the checked open);
// every report is the folder's whole one, or one where it was missed or found gone.
void EndToEndTest::linkSwappedInForAFolder()
{
    // Two levels down, where the lowest file limit takes the checked open.
    const QString root = dir.filePath("swap"), mid = root + "/mid", other = dir.filePath("swap-other");
    QVERIFY(QDir().mkpath(mid + "/a") && QDir().mkpath(other));
    QVERIFY(writeSizedFile(QFile::encodeName(mid + "/a/one"), 1));
    for (int i = 0; i < 50; ++i)
        QVERIFY(writeSizedFile(QFile::encodeName(other + QString("/f%1").arg(i)), 1));
    QVERIFY(QFile::link(other, mid + "/b"));
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const QByteArray a = QFile::encodeName(mid + "/a"), b = QFile::encodeName(mid + "/b"),
                         c = QFile::encodeName(mid + "/c");
        while (!stop) {
            ::rename(a, c);
            ::rename(b, a);
            ::rename(a, b);
            ::rename(c, a);
        }
    });
    const QString out = dir.filePath("swap-out");
    const QList<QByteArray> allowed = {folderJson("1 bytes", 2, 1),
                                       folderJson("0 bytes", 2, 0),
                                       folderJson("0 bytes", 1, 0)};
    const QProcessEnvironment noOpenat2 = preloadedWith({"VURO_FAULT_NO_OPENAT2"});
    const QString limit = !QByteArray(HELPER_SANITIZER).isEmpty() ? "--nofile=64:64" : "--nofile=5:5";
    int unexpected = 0, reports = 0;
    for (int i = 0; i < 150; ++i) {
        QFile::remove(out + ".json");
        if (i % 2)
            run({"3", root, out}, Helper, {"bash", "-c", closeInherited, "bash", "prlimit", limit, "--"}, noOpenat2);
        else
            run({"3", root, out});
        const QByteArray text = readFile(out + ".json");
        reports += !text.isEmpty();
        if (!text.isEmpty() && !allowed.contains(text) && unexpected++ == 0)
            qWarning("%s", text.constData());
    }
    stop = true;
    swapper.join();
    QCOMPARE(unexpected, 0);
    QVERIFY(reports > 0);
}

// Guards against subfolders opened by the start folder's path instead of its handle: renamed
// while the walk runs (its listing held 2 s by strace), every later open would miss and count
// an empty folder; and a start folder under an ancestor the user cannot search, given as ".",
// would read as closed ("0 bytes").
void EndToEndTest::startFolderAnchoredByItsHandle()
{
    const QString tree = dir.filePath("anchored");
    for (int i = 1; i <= 5; ++i) {
        QVERIFY(QDir(tree).mkpath(QString("d%1/e").arg(i)));
        QVERIFY(writeFile(tree + QString("/d%1/e/f").arg(i), "hi\n"));
    }
    const QByteArray whole = folderJson("15 bytes", 10, 5);
    const QString out = dir.filePath("anchored-out");
    if (!hasStrace()) {
        QWARN("the renamed start folder's case is skipped: strace is not installed");
    } else {
        QFile::remove(out + ".json");
        QProcess helper;
        helper.start("strace", {"-f", "-qq", "-o", "/dev/null", "-P", tree, "-e",
                                "inject=getdents64:delay_exit=2000000:when=1", Helper, "3", tree, out});
        QVERIFY(helper.waitForStarted());
        QVERIFY2(waitUntilHeldOpen(helper.processId(), QFile::encodeName(tree), 10000), "the helper never opened the start folder");
        QCOMPARE(::rename(QFile::encodeName(tree).constData(), QFile::encodeName(tree + "-moved").constData()), 0);
        QVERIFY(helper.waitForFinished(30000));
        const QByteArray report = readFile(out + ".json");
        if (report != whole)
            qWarning("the helper said: %s", helper.readAllStandardError().constData());
        QCOMPARE(report, whole);
        QCOMPARE(::rename(QFile::encodeName(tree + "-moved").constData(), QFile::encodeName(tree).constData()), 0);
    }
    if (!unprivilegedSkip.isEmpty())
        QSKIP(qPrintable("the unsearchable ancestor's case: " + unprivilegedSkip));
    const QString outer = work + "/outer", inner = outer + "/inner";
    QVERIFY(QDir(inner).mkpath("sub"));
    QVERIFY(writeSizedFile(QFile::encodeName(inner + "/sub/x"), 12000));
    QProcess::execute("chown", {"-R", "65534:65534", inner});
    ScopedPermissions closedToOthers(outer, QFileDevice::Permissions(0x7700)); // root's
    QProcess helper;
    helper.setWorkingDirectory(inner);
    if (::geteuid() == 0)
        helper.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "--", unprivilegedHelper, "3", ".", "res"});
    else
        helper.start(Helper, {"3", ".", "res"});
    QVERIFY(helper.waitForFinished(30000));
    QCOMPARE(readFile(inner + "/res.json"), folderJson("11.7 KB", 1, 1));
}

// Guards against a volume that stops answering mid-walk giving a report that looks whole:
// what the system says of a share or device gone (ENOTCONN, ESTALE) is no missing folder,
// and no failure below a start folder that no longer answers is one folder's: a file system
// whose every answer waits 20 ms is killed 1 s into the walk. (Each step's outcomes one by one
// are folderstats_test::eachOutcomeOfTheWalk's.)
void EndToEndTest::volumeGoneMidWalk()
{
    // Four folders at the top, so that the start folder's own listing is done long before the
    // file system goes: what fails then is below it.
    const QString tree = dir.filePath("gone-tree");
    for (int i = 0; i < 200; ++i) {
        const QString folder = tree + QString("/a%1/s%2").arg(i % 4).arg(i);
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeFile(folder + "/f", "x"));
    }
    const QString out = dir.filePath("gone-out");
    const QString mount = dir.filePath("gone-mount");
    QProcess server;
    const QString refused = mountSlowFileSystem(server, tree, mount, 20000);
    if (!refused.isEmpty())
        QSKIP(qPrintable("the killed file system's case: " + refused));
    QFile::remove(out + ".json");
    QProcess helper;
    helper.start(Helper, {"3", mount, out});
    QVERIFY(helper.waitForStarted());
    QTest::qWait(1000);
    ::kill(pid_t(server.processId()), SIGKILL);
    server.waitForFinished(5000);
    const bool finished = helper.waitForFinished(60000);
    unmount(mount);
    QVERIFY(finished);
    QCOMPARE(readFile(out + ".json"), QByteArray("<missing>"));
    QVERIFY(!helper.readAllStandardError().isEmpty());
}

// Guards against a folder on the way being followed when it is swapped for a link while the
// walk is below it: the listing of T/A is held for 3 s (strace), meanwhile T/A becomes a link to
// a bigger tree; no file of that tree may be counted.
void EndToEndTest::ancestorSwappedMidWalk()
{
    if (!hasStrace())
        QSKIP("strace is not installed");
    // With openat2; name by name as on kernels without it; and without it under the lowest
    // file limit, where one open checked afterwards takes the place of name by name.
    for (int way : {0, 1, 2}) {
        const bool withoutOpenat2 = way > 0;
        const QString tree = dir.filePath("swap-mid"), other = dir.filePath("swap-mid-other");
        // One folder deeper under the lowest limit: the first name takes the one free number.
        const QString swapped = tree + (way == 2 ? "/P/A" : "/A");
        QProcess::execute("rm", {"-rf", tree, other});
        QVERIFY(QDir().mkpath(swapped + "/B") && QDir().mkpath(other + "/B"));
        QVERIFY(writeFile(swapped + "/B/one", "1"));
        if (way == 1) {
            // Left alone, the walk name by name counts what the walk with openat2 counts.
            const QProcessEnvironment preload = preloadedWith({"VURO_FAULT_NO_OPENAT2"});
            QVERIFY(QDir().mkpath(tree + "/A/B/C"));
            QVERIFY(writeFile(tree + "/A/B/C/two", "22"));
            run({"3", tree, dir.filePath("swap-mid-whole")}, Helper, {}, preload);
            QCOMPARE(readFile(dir.filePath("swap-mid-whole.json")),
                     folderJson("3 bytes", 3, 2));
        }
        for (int i = 0; i < 50; ++i)
            QVERIFY(writeFile(other + QString("/B/f%1").arg(i), "x"));
        const QString out = dir.filePath("swap-mid-out");
        QFile::remove(out + ".json");
        QProcess helper;
        helper.setWorkingDirectory(dir.path());
        if (withoutOpenat2)
            helper.setProcessEnvironment(preloadedWith({"VURO_FAULT_NO_OPENAT2"}, QProcessEnvironment::systemEnvironment()));
        const QStringList lowest = way == 2 ? QStringList{"bash", "-c", closeInherited, "bash", "prlimit", !QByteArray(HELPER_SANITIZER).isEmpty() ? "--nofile=64:64" : "--nofile=5:5", "--"} : QStringList();
        helper.start("strace", QStringList{"-f", "-qq", "-o", "/dev/null", "-P", swapped, "-e", "inject=getdents64:delay_exit=3000000:when=1"} +
                                   lowest + QStringList{Helper, "3", tree, out});
        QVERIFY(helper.waitForStarted());
        QVERIFY2(waitUntilHeldOpen(helper.processId(), QFile::encodeName(swapped), 10000), "the helper never opened A");
        QCOMPARE(::rename(QFile::encodeName(swapped).constData(), QFile::encodeName(swapped + ".real").constData()), 0);
        QVERIFY(QFile::link(other, swapped));
        QVERIFY(helper.waitForFinished(30000));
        const QByteArray report = readFile(out + ".json");
        QVERIFY2(report.contains("\"File Count\""), report);
        const QRegularExpressionMatch files = QRegularExpression("\"File Count\": \"(\\d+)\"").match(QString::fromUtf8(report));
        QVERIFY2(files.captured(1).toInt() <= 1, report + (withoutOpenat2 ? " (name by name)" : ""));
    }
}

// Guards against a crash on very deep trees, and against a report that depends on the
// open-file limit (1024 in a login shell, some users far fewer): under a limit of 5, the
// walkers wait for one another's listings instead of failing for want of descriptors, with
// openat2 or without it (each folder then opened by one descriptor too).
void EndToEndTest::deepAndWideTreeUnderLowFileLimit_data()
{
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("way");
    QTest::addColumn<int>("runs");
    QTest::addColumn<QByteArray>("expected");
    // Without openat2, the one open checked afterwards takes the place of name by name at any
    // depth (1,400 levels: 3 bytes a level once passed the path limit).
    QTest::newRow("deep and wide, openat2") << "deep" << "openat2" << 1 << folderJson("1.41 KB", 1450, 1450);
    QTest::newRow("deep and wide, none") << "deep" << "ENOSYS" << 1 << folderJson("1.41 KB", 1450, 1450);
    // Folders that may be listed but not searched (as user 65534: root searches all) are counted,
    // and what lies below them counted as closed to the user; never taken for a folder swapped
    // for a link. Forty of each, the helper slowed by strace's stops so that its walkers meet.
    QTest::newRow("unsearchable, openat2") << "unsearchable" << "openat2" << 1 << folderJson("41 bytes", 121, 41);
    QTest::newRow("unsearchable, none") << "unsearchable" << "ENOSYS" << 1 << folderJson("41 bytes", 121, 41);
    QTest::newRow("unsearchable, none, no /proc") << "unsearchable" << "ENOSYS, no /proc" << 1 << folderJson("41 bytes", 121, 41);
    // Two chains of 22 folders of 240-byte names (past 4,096 bytes) at 6 handles, slowed (never
    // trace=none, which drops injections): each walker once needed one more handle than the other
    // left, and both gave up.
    QTest::newRow("chains, openat2") << "chains" << "openat2" << 3 << folderJson("44 bytes", 46, 44);
    QTest::newRow("chains, none (strace)") << "chains" << "ENOSYS by strace" << 3 << folderJson("44 bytes", 46, 44);
    // Two walkers each holding half a path once saw no listing open and gave up; and where the
    // last descriptor is a library's for a moment as the walk opens its first folder, a lone
    // walker once took it for a limit nothing could lift. Refused as a kernel before 5.6 does
    // (ENOSYS) and as a container's filter does (EPERM).
    QTest::newRow("small, none") << "small" << "ENOSYS" << 5 << folderJson("3 bytes", 5, 3);
    QTest::newRow("small, refused") << "small" << "EPERM by strace" << 5 << folderJson("3 bytes", 5, 3);
    QTest::newRow("small, none, held") << "small" << "ENOSYS, held at a" << 5 << folderJson("3 bytes", 5, 3);
}

void EndToEndTest::deepAndWideTreeUnderLowFileLimit()
{
    QFETCH(QString, tree);
    QFETCH(QString, way);
    QFETCH(int, runs);
    QFETCH(QByteArray, expected);
    const bool sanitized = !QByteArray(HELPER_SANITIZER).isEmpty();
    if (way.endsWith("by strace") && !hasStrace())
        QSKIP("openat2 refused by strace: strace is not installed");
    if (tree == "chains" && (sanitized || !hasStrace()))
        QSKIP("the chains' walkers meet only under strace's stops, at 6 handles: no strace, or a sanitizer's build, whose runtime needs more");
    // Slowed where the walkers must meet; a sanitizer's build runs the unsearchable rows unslowed.
    const bool traced = way.endsWith("by strace") || tree == "chains" || (tree == "unsearchable" && hasStrace() && !sanitized);
    if (tree == "unsearchable" && ::geteuid() == 0 && unprivilegedHelper.isEmpty())
        QSKIP(qPrintable(unprivilegedSkip));
    const QString root = (tree == "deep" || tree == "small" ? dir.path() : work) + "/low-" + tree;
    if (!QFileInfo::exists(root)) {
        QVERIFY(QDir().mkpath(root));
        if (tree == "deep") {
            QVERIFY(buildFolderChain(root, 1400, "d") && buildFolderFan(root, 50, "w"));
            for (int i = 0; i < 50; ++i)
                QVERIFY(writeSizedFile(QFile::encodeName(root + QString("/%1w/f").arg(i, 5, 10, QChar('0'))), 1));
        }
        for (int i = 0; tree == "unsearchable" && i < 40; ++i) {
            QVERIFY(QDir().mkpath(root + QString("/a/b%1/sub/deeper").arg(i)) && QDir().mkpath(root + QString("/a/c%1").arg(i)));
            QVERIFY(writeSizedFile(QFile::encodeName(root + QString("/a/c%1/f").arg(i)), 1));
        }
        for (const char *top : {"/c0", "/c1"})
            QVERIFY(tree != "chains" || (QDir().mkpath(root + top) && buildFolderChain(root + top, 22, QByteArray(240, 'n'))));
        for (const char *file : {"/a/f", "/a/b/c/f", "/x/y/g", "/a/h"})
            QVERIFY(tree != (QByteArray(file) == "/a/f" ? "unsearchable" : "small") || (QDir().mkpath(QFileInfo(root + file).path()) && writeSizedFile(QFile::encodeName(root + file), 1)));
    }
    for (int i = 0; tree == "unsearchable" && i < 40; ++i)
        QVERIFY(QFile::setPermissions(root + QString("/a/b%1").arg(i), QFileDevice::Permissions(0x4444)));
    const auto searchable = qScopeGuard([&] {
        for (int i = 0; tree == "unsearchable" && i < 40; ++i)
            QFile::setPermissions(root + QString("/a/b%1").arg(i), QFileDevice::Permissions(0x7777));
    });
    // The sanitizers' runtimes need descriptors of their own at such limits (ThreadSanitizer's
    // now and then); the release build runs every row at 5, the chains at 6.
    const QString limit = tree == "chains" ? "--nofile=6:6" : sanitized ? "--nofile=64:64" : "--nofile=5:5";
    QStringList prefix = {"bash", "-c", closeInherited, "bash"};
    if (traced)
        prefix += QStringList{"strace", "-f", "-qq", "-o", "/dev/null"} +
                  (way.startsWith("EPERM") ? QStringList{"--seccomp-bpf", "-e", "trace=openat2", "-e", "inject=openat2:error=EPERM"}
                                           : QStringList{"-e", "trace=openat,openat2,getdents64"}) +
                  (way == "ENOSYS by strace" ? QStringList{"-e", "inject=openat2:error=ENOSYS"} : QStringList());
    prefix += QStringList{"prlimit", limit, "--"} + (tree == "unsearchable" ? asUnprivileged() : QStringList());
    QProcessEnvironment environment = way == "ENOSYS" || way.startsWith("ENOSYS,") ? preloadedWith({"VURO_FAULT_NO_OPENAT2"}) : QProcessEnvironment();
    if (way.endsWith("no /proc"))
        environment.insert("VURO_FAULT_NO_PROC", "1");
    if (way.endsWith("held at a"))
        environment.insert("VURO_FAULT_HOLD_AT", "a");
    const QString out = work + "/low-out";
    for (int i = 0; i < runs; ++i) {
        QFile::remove(out + ".json");
        const Run r = run({"3", root, out}, tree == "unsearchable" && ::geteuid() == 0 ? unprivilegedHelper : Helper, prefix, environment);
        QVERIFY2(r.exitCode == 0 && (tree == "chains" || r.err.isEmpty()), qPrintable(r.err.left(300)));
        QCOMPARE(readFile(out + ".json"), expected);
    }
}

// Guards against a closed start folder's result depending on what was there before: the
// folder is never the result file, so its unknown identity blocks nothing.
void EndToEndTest::closedStartFolder()
{
    if (!unprivilegedSkip.isEmpty())
        QSKIP(qPrintable(unprivilegedSkip));
    const QString closed = work + "/closed-start";
    QVERIFY(QDir().mkpath(closed));
    QVERIFY(writeFile(closed + "/x", "hidden"));
    const ScopedPermissions shut(closed, QFileDevice::Permissions());
    const QString out = work + "/closed-out";
    const QByteArray empty = folderJson("0 bytes", 0, 0);
    QFile::remove(out + ".json");
    runUnprivileged({"3", closed, out});
    const QByteArray fresh = readFile(out + ".json");
    QVERIFY(writeFile(out + ".json", "another folder's stats"));
    QFile::setPermissions(out + ".json", QFileDevice::Permissions(0x6666));
    runUnprivileged({"3", closed, out});
    QCOMPARE(fresh, empty);
    QCOMPARE(readFile(out + ".json"), empty);
}

// Guards against a folder that cannot be listed or sized stopping the walk or being invented.
void EndToEndTest::unreadableFolders()
{
    if (!unprivilegedSkip.isEmpty())
        QSKIP(qPrintable(unprivilegedSkip));
    const QString locked = work + "/locked";
    QVERIFY(QDir(locked).mkpath("closed/hidden"));
    QVERIFY(QDir(locked).mkpath("blind/deeper"));
    QVERIFY(writeSizedFile(QFile::encodeName(locked + "/closed/hidden/x"), 999));
    QVERIFY(writeSizedFile(QFile::encodeName(locked + "/blind/y"), 999));
    QVERIFY(writeSizedFile(QFile::encodeName(locked + "/visible"), 1024));
    for (const QString &path : {locked, locked + "/blind/deeper"})
        QFile::setPermissions(path, QFileDevice::Permissions(0x7777));
    const ScopedPermissions closed(locked + "/closed", QFileDevice::Permissions()); // not listable
    const ScopedPermissions blind(locked + "/blind", QFileDevice::Permissions(0x4444)); // listable, not searchable
    const QString out = work + "/locked-out";
    QFile::remove(out + ".json");
    const Run r = runUnprivileged({"3", locked, out});
    QCOMPARE(r.exitCode, 0);
    // "closed" counts as a folder with nothing in it; so do "blind" and "deeper", which its
    // listing names although neither can be looked into; "y" cannot be sized and is logged.
    QCOMPARE(readFile(out + ".json"),
             folderJson("1.00 KB", 3, 1));
    QCOMPARE(r.err.count("Permission denied"), 1);
}

// Guards against root writing through a link that another user planted in a sticky,
// world-writable folder: a symbolic link the kernel refuses to follow (fs.protected_symlinks),
// and a hard link to root's own file where the kernel lets anyone make one.
void EndToEndTest::plantedLinksAreNotFollowed()
{
    if (::geteuid() != 0)
        QSKIP("needs root: the rule protects root from links that other users plant");
    if (!unprivilegedSkip.isEmpty())
        QSKIP(qPrintable(unprivilegedSkip));
    const QString sticky = shared + "/sticky";
    QVERIFY(QDir().mkpath(sticky));
    QFile::setPermissions(sticky, QFileDevice::Permissions(0x7777));
    ::chmod(QFile::encodeName(sticky).constData(), 01777);
    // Root's file where the other user can reach it (the checkout may sit in a folder closed
    // to others), and a link to it planted by that user as the result. A symbolic link where
    // the system protects root from following it; a hard link where it lets anyone link any
    // file (fs.protected_hardlinks off): root's run replaces the name, never writes through.
    struct Plant { const char *setting; QByteArray value; bool hard; const char *result; QByteArray written; };
    for (const Plant &p : {Plant{"/proc/sys/fs/protected_symlinks", "1", false, "out", QByteArray()},
                           Plant{"/proc/sys/fs/protected_hardlinks", "0", true, "hard", expectedJson({{"MD5", Md5Abc}})}}) {
        const ScopedKernelSetting setting(p.setting, p.value);
        if (!setting.isSet())
            QSKIP(qPrintable(QString("cannot read and set %1 here").arg(p.setting)));
        const QString precious = shared + "/precious.conf", planted = sticky + "/" + p.result + ".json";
        QVERIFY(writeFile(precious, "root's own\n"));
        ::chmod(QFile::encodeName(precious).constData(), 0644);
        const pid_t planter = ::fork();
        if (planter == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(1);
            const QByteArray from = QFile::encodeName(precious), to = QFile::encodeName(planted);
            ::_exit((p.hard ? ::link(from.constData(), to.constData()) : ::symlink(from.constData(), to.constData())) == 0 ? 0 : 1);
        }
        int status = 0;
        ::waitpid(planter, &status, 0);
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the unprivileged user could not plant the link");
        run({"0", abc, sticky + "/" + p.result});
        QCOMPARE(readFile(precious), QByteArray("root's own\n"));
        QVERIFY(p.hard ? readFile(planted) == p.written : QFileInfo(planted).isSymLink());
        QFile::remove(precious);
    }
    QProcess::execute("rm", {"-rf", sticky});
}
