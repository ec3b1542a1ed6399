#include "e2e/e2e.h"

// The end-to-end cases of the process: the command line, the streams, arguments as given, the
// restart of the viewer, termination signals, stacks and memory.

// Guards against a missing echo, a wrong exit code, or a mode run for a number out of range.
void EndToEndTest::commandLineAndModes()
{
    Run r = run({});
    QCOMPARE(r.out, Helper.toUtf8() + "\n");
    QCOMPARE(r.exitCode, 255);
    for (const char *mode : {"-1", "5", "99"}) {
        r = run({mode, abc, dir.filePath("out-range")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, echoLine(Helper, {mode, abc, dir.filePath("out-range")}));
    }
    QVERIFY(!QFileInfo::exists(dir.filePath("out-range.json")));
    // Not a number reads as 0: the MD5 mode runs (how numbers are read is request_test's).
    checkDigestRun({"abc", abc, dir.filePath("nan")}, dir.filePath("nan.json"), expectedJson({{"MD5", Md5Abc}}));
}

// Guards against the work stopping when whoever reads the helper's output has gone away, and
// against the helper's files taking the numbers of standard streams its caller closed.
void EndToEndTest::closedOutput()
{
    const QString out = dir.filePath("unread");
    QFile::remove(out + ".json");
    QCOMPARE(runWithClosedOutput({"2", abc, out}), 0);
    QCOMPARE(readFile(out + ".json"), expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}}));

    // Started with every standard stream closed, no file or folder of the helper's may take
    // their numbers: the echo, the tag and the log would go into it.
    const QString trace = dir.filePath("closed-streams.trace");
    for (const QString mode : {"2", "3"}) {
        const QString target = mode == "2" ? abc : dir.filePath("closed-streams-tree");
        QVERIFY(QDir().mkpath(dir.filePath("closed-streams-tree/sub")));
        run({"-c", "exec strace -f -qq -o \"$0\" -e trace=openat,openat2 \"$@\" <&- >&- 2>&-", trace, Helper, mode, target, out}, "sh");
        QCOMPARE(readFile(out + ".json").count("\n    {"), mode == "2" ? 2 : 3);
        const QString opens = QString::fromUtf8(readFile(trace));
        // Only the helper's own opens count (its folders and files, or names relative to one):
        // what libraries open before the first line of main may take those numbers for a moment.
        const QRegularExpression taken("openat2?\\((AT_FDCWD, \"(" + QRegularExpression::escape(dir.path()) +
                                       "|[^/\"])|[0-9]+, )[^\\n]* = [012]\\n");
        QVERIFY2(!taken.match(opens).hasMatch(), qPrintable(mode + ": " + taken.match(opens).captured(0)));
    }
}

// Guards against arguments with spaces or non-ASCII characters being mangled.
void EndToEndTest::spacesAndNonAscii()
{
    QVERIFY(QDir(dir.path()).mkpath("dossier é"));
    const QString target = dir.filePath("dossier é/naïve file.bin");
    QVERIFY(writeFile(target, "abc"));
    const QString out = dir.filePath("dossier é/résultat ü");
    checkDigestRun({"2", target, out}, out + ".json", expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}}));
    checkFolderRun({"3", dir.filePath("dossier é"), out}, out + ".json",
                   folderJson("3 bytes", 0, 1));
}

// Guards against arguments changed on their way in: names that are no UTF-8 (which Linux
// allows) read as other names, and arguments the framework takes for its own.
void EndToEndTest::argumentsAsGiven()
{
    const QByteArray base = QFile::encodeName(dir.path()) + "/";
    QVERIFY(writeBytesFile(base + "caf\xe9", "latin"));
    QVERIFY(writeBytesFile(base + "caf\xef\xbf\xbd", "OTHER FILE"));
    QVERIFY(writeBytesFile(base + "latin-copy", "latin"));
    QVERIFY(writeBytesFile(base + "notes\xef\xbf\xbd.json", "DECOY"));
    QCOMPARE(::mkdir(base + "d\xe9", 0755), 0);
    QCOMPARE(::mkdir(base + "d\xef\xbf\xbd", 0755), 0);
    QVERIFY(writeBytesFile(base + "d\xe9/f", "abc"));
    QVERIFY(writeBytesFile(base + "d\xef\xbf\xbd/g", "decoy file"));
    const auto runBytes = [&](const QList<QByteArray> &arguments) {
        QString script = "exec \"$0\"";
        for (const QByteArray &argument : arguments)
            script += " " + shellBytes(argument);
        return run({"-c", script, Helper}, "sh");
    };
    Run r = runBytes({"0", base + "caf\xe9", base + "notes\xe9"});
    QCOMPARE(r.out, QFile::encodeName(Helper) + "      0      " + base + "caf\xe9      " + base + "notes\xe9\nIT_MD5_SHA1\n");
    QCOMPARE(readBytesFile(base + "notes\xe9.json"), expectedJson({{"MD5", referenceDigest("md5sum", dir.filePath("latin-copy"))}}));
    QCOMPARE(readBytesFile(base + "notes\xef\xbf\xbd.json"), QByteArray("DECOY"));
    runBytes({"3", base + "d\xe9", base + "folder-out"});
    QCOMPARE(readBytesFile(base + "folder-out.json"),
             folderJson("3 bytes", 0, 1));

    // No argument is the framework's: this one is a target that does not exist.
    QVERIFY(writeFile(dir.filePath("victim"), "abc"));
    r = run({"2", "-qmljsdebugger=port:1", dir.filePath("victim")});
    QCOMPARE(r.out, echoLine(Helper, {"2", "-qmljsdebugger=port:1", dir.filePath("victim")}) + "IT_MD5_SHA1\n");
    QVERIFY(!QFileInfo::exists(dir.filePath("victim.json")));
}

// Guards against the viewer not being started, or started without the pause, and against it
// taking what the caller gave the helper: a descriptor (a pipe whose reader then waits for the
// viewer's end), an ignored or blocked signal, the current folder (a volume kept busy).
void EndToEndTest::restartViewer_data()
{
    QTest::addColumn<QString>("viewerIn");
    QTest::addColumn<int>("exitCode");
    // Found on PATH, and started with nothing of the caller's (see below), after the pause.
    QTest::newRow("on PATH") << "PATH" << 1;
    QTest::newRow("nowhere") << "nowhere" << 0;
    // Beside the helper, where no PATH folder holds one: the helper's own folder is searched.
    QTest::newRow("beside the helper") << "beside" << 1;
    // A relative PATH entry names a folder below whatever the current folder is: never searched.
    // Planted at both places the relative name could lead, from the current folder and from the
    // viewer's own folder once started there.
    QTest::newRow("relative PATH only") << "relative" << 0;
}

void EndToEndTest::restartViewer()
{
    QFETCH(QString, viewerIn);
    QFETCH(int, exitCode);
    QTemporaryDir bin{scratchTemplate()};
    const QString marker = bin.filePath("started"), planted = (work.isEmpty() ? dir.path() : work) + "/planted-bin";
    const auto removed = qScopeGuard([&] { QProcess::execute("rm", {"-rf", planted}); });
    for (const QString &copy : viewerIn == "relative" ? QStringList{planted + "/Vuro.exe", planted + "/planted-bin/Vuro.exe"} : QStringList{bin.filePath("Vuro.exe")}) {
        QVERIFY(QDir().mkpath(QFileInfo(copy).path()) && QFile::copy(VIEWER_STAND_IN, copy));
        QFile::setPermissions(copy, QFileDevice::Permissions(0x7555));
    }
    const QString helper = viewerIn == "beside" ? bin.filePath("vuro-helper") : Helper;
    QVERIFY(helper == Helper || (QFile::copy(Helper, helper) && QFile::setPermissions(helper, QFileDevice::Permissions(0x7555))));
    QProcessEnvironment extra;
    extra.insert("VURO_TEST_MARKER", marker);
    extra.insert("PATH", viewerIn == "PATH" ? bin.path() + ":" + qgetenv("PATH") : viewerIn == "relative" ? "planted-bin" : dir.filePath("no-viewer-here"));
    if (viewerIn != "PATH") {
        const Run r = run(viewerIn == "nowhere" ? QStringList{"4", abc, dir.filePath("r4")} : QStringList{"4"}, helper, {}, extra);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY(!QFileInfo::exists(dir.filePath("r4.json")));
    } else {
        // The caller reads the helper's output, and a pipe it gave as descriptor 3, to their end.
        // A signal blocked in the caller is blocked in the helper too, as it would be.
        sigset_t blocked, before;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &blocked, &before);
        QElapsedTimer timer;
        timer.start();
        const Run r = run({"-c", "{ \"$0\" 4 3>&1; echo \"exit $?\"; } | cat", Helper}, "sh", {}, extra);
        const qint64 elapsed = timer.elapsed();
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        QVERIFY(elapsed >= 1900);
        // The viewer stays 8 s: a caller whose pipe ends before 6 s did not wait for it, however loaded the machine.
        QVERIFY2(elapsed < 6000, "the viewer kept the helper's output or descriptor 3 open");
        QCOMPARE(r.out, echoLine(Helper, {"4"}) + "exit 1\n");
    }
    if (exitCode == 0) {
        QTest::qWait(300);
        QVERIFY2(!QFileInfo::exists(marker), "a viewer was started");
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker) && readFile(marker).count('\n') >= 5, 10000);
    const QList<QByteArray> told = readFile(marker).split('\n');
    const pid_t started = told.value(0).mid(4).toInt();
    QVERIFY2(started > 0 && ::kill(started, 0) == 0, "the viewer did not outlive the helper");
    ::kill(started, SIGKILL);
    QCOMPARE(told.value(1), QByteArray("fds"));
    QCOMPARE(told.value(2).simplified(), QByteArray("SigBlk: 0000000000000000"));
    QCOMPARE(told.value(3).simplified(), QByteArray("SigIgn: 0000000000000000"));
    QCOMPARE(told.value(4), "cwd " + QFile::encodeName(bin.path()));
}

// Guards against a termination signal cutting the writer's steps short: one that arrives while
// a named temporary is flushed (held), or while a hard-linked result is emptied for its rewrite
// (held), ends the process once the new report is in place, whole, on every name, with no other
// file left; one that the caller ignored stays ignored.
void EndToEndTest::terminationSignalsCleanUp()
{
    const QString folder = dir.filePath("terminated");
    QVERIFY(QDir().mkpath(folder));
    const QByteArray earlier = expectedJson({{"SHA1", Sha1Abc}}), fresh = expectedJson({{"MD5", Md5Abc}});
    QProcessEnvironment slowFlush = preloadedWith({"VURO_FAULT_NO_TMPFILE"}, QProcessEnvironment::systemEnvironment());
    slowFlush.insert("VURO_FAULT_FSYNC_DELAY_MS", "1500");
    // Named as documented: ".vuro-" and six characters.
    const auto temporaryMade = [&] { return QDir(folder).entryList({".vuro-??????"}, QDir::Files | QDir::Hidden).size() == 1; };
    const auto emptied = [&] { return QFileInfo(folder + "/r.json").size() == 0; };
    // Sends signal to the helper (the started program, or its child) once ready() holds.
    const auto signalWhen = [&](QProcess &process, int signal, bool child, const std::function<bool()> &ready) {
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(ready(), 10000);
        pid_t pid = pid_t(process.processId());
        if (child)
            pid = pid_t(readFile(QString("/proc/%1/task/%1/children").arg(pid)).trimmed().toInt());
        ::kill(pid, signal);
        QVERIFY(process.waitForFinished(10000));
    };
    // how: "ignored", the caller ignores it; "in place", the result has two names; "no
    // thread", every thread's creation refused, the mode on the first thread.
    struct Case { int signal; const char *how; };
    for (const Case &c : {Case{SIGTERM, ""}, Case{SIGINT, ""}, Case{SIGHUP, ""}, Case{SIGUSR1, ""}, Case{SIGALRM, ""},
                          Case{SIGRTMIN + 3, ""}, Case{SIGTERM, "ignored"}, Case{SIGTERM, "in place"}, Case{SIGUSR2, "in place"},
                          Case{SIGTERM, "no thread"}, Case{SIGXCPU, "no thread"}}) {
        const QString what = QString("signal %1 %2").arg(c.signal).arg(c.how);
        QFile::remove(folder + "/r2.json");
        QVERIFY(writeFile(folder + "/r.json", earlier));
        const QByteArray how = c.how;
        // Started by strace, the helper is its child, and the signal is sent to it.
        const bool traced = how == "in place" || how == "no thread";
        if (traced && !hasStrace())
            QSKIP("the in-place case and the case without threads: strace is not installed");
        QVERIFY(how != "in place" || ::link(QFile::encodeName(folder + "/r.json"), QFile::encodeName(folder + "/r2.json")) == 0);
        const QStringList prefix = how == "in place"    ? underStrace({"-P", folder + "/r.json", "-e", "inject=ftruncate:delay_exit=1500000"})
                                   : how == "no thread" ? underStrace({"-e", "inject=clone,clone3:error=EAGAIN"})
                                   : how == "ignored"   ? QStringList{"sh", "-c", "trap '' TERM; exec \"$0\" \"$@\""} : QStringList();
        QProcess helper;
        helper.setProcessEnvironment(slowFlush);
        helper.start(prefix.value(0, Helper), prefix.mid(1) + (prefix.isEmpty() ? QStringList() : QStringList(Helper)) + QStringList{"0", abc, folder + "/r"});
        signalWhen(helper, c.signal, traced, how == "in place" ? std::function<bool()>(emptied) : temporaryMade);
        QVERIFY(how != "in place" || readFile(folder + "/r2.json") == fresh);
        QVERIFY2((helper.exitStatus() == QProcess::NormalExit) == (QByteArray(c.how) == "ignored"), qPrintable(what));
        QVERIFY2(QDir(folder).entryList({".vuro-*"}, QDir::Files | QDir::Hidden).isEmpty(), qPrintable(what));
        QVERIFY2(readFile(folder + "/r.json") == fresh, qPrintable(what));
    }
    // One sent the moment the work starts (the first read of the target: by offset on the
    // first thread, on the first thread, along the ring; the first listing; to a walker, a
    // hashing thread, the taker) stops the write that would follow,
    // however soon the mode gets there; one sent as the last step begins lets it end, and
    // then ends the process: never exit 0. Each to the process, and to the first thread
    // alone, which takes none itself; with threads and without. Ten runs of each.
    const QString big = folder + "/big", huge = folder + "/huge", tree = folder + "/tree";
    QVERIFY(writeSizedFile(QFile::encodeName(big), 3 * 1024 * 1024));
    QVERIFY(writeSizedFile(QFile::encodeName(huge), 16 * 1024 * 1024 + 1));
    QVERIFY(QDir(tree).mkpath("sub"));
    QVERIFY(writeFile(tree + "/sub/f", "abc"));
    const QByteArray treeReport = folderJson("3 bytes", 1, 1);
    const QByteArray bigReport = expectedJson({{"MD5", referenceDigest("md5sum", big)}, {"SHA1", referenceDigest("sha1sum", big)}});
    // A walk of 60 folders held 1 ms a listing: its 40th listing is a walker's, not the first thread's.
    const QString wide = folder + "/wide";
    for (int d = 0; d < 60; ++d)
        QVERIFY(QDir(wide).mkpath(QString("d%1").arg(d)));
    // after: listings or updates before the one the signal comes at; to: "taker", the
    // thread that takes signals, else the process and the calling thread in turn.
    struct Moment { const char *call; QStringList arguments; QByteArray after; bool noThread; const char *after_ = nullptr; const char *to = nullptr; };
    for (const Moment &m : {Moment{"pread64", {"0", abc}, earlier, false}, Moment{"read", {"2", big}, earlier, false},
                            Moment{"read", {"1", huge}, earlier, false},
                            Moment{"getdents64", {"3", tree}, earlier, false}, Moment{"renameat", {"2", big}, bigReport, false},
                            Moment{"renameat", {"3", tree}, treeReport, false}, Moment{"pread64", {"0", abc}, earlier, true},
                            Moment{"renameat", {"0", abc}, fresh, true}, Moment{"getdents64", {"3", wide}, earlier, false, "40"},
                            Moment{"EVP_DigestUpdate", {"2", huge}, earlier, false, "30"},
                            Moment{"renameat", {"2", big}, bigReport, false, nullptr, "taker"}}) {
        if (m.noThread && !hasStrace())
            QSKIP("the moments without threads: strace is not installed");
        for (const bool toThread : {false, true}) {
            QProcessEnvironment at = preloadedWith(toThread ? QStringList("VURO_FAULT_TERM_TO_THREAD") : QStringList());
            at.insert("VURO_FAULT_TERM_AT", m.call);
            if (m.after_)
                at.insert("VURO_FAULT_TERM_AFTER", m.after_);
            if (m.to)
                at.insert("VURO_FAULT_TERM_TO_THREAD", m.to);
            const QStringList noThread = underStrace({"-e", "inject=clone,clone3:error=EAGAIN", "--"});
            for (int i = 0; i < 10; ++i) {
                const QString what = QString("SIGTERM at %1 to the %2, %3%4, run %5").arg(m.call, toThread ? "calling thread" : "process")
                                         .arg(m.arguments.join(' ')).arg(m.noThread ? " without threads" : "").arg(i);
                QVERIFY(writeFile(folder + "/r.json", earlier));
                const Run r = run(m.arguments + QStringList(folder + "/r"), Helper, m.noThread ? noThread : QStringList(), at);
                // (strace ends by the signal that ended the helper.)
                QVERIFY2(r.finished && r.crashed, qPrintable(what + QString(": exit %1").arg(r.exitCode)));
                QVERIFY2(readFile(folder + "/r.json") == m.after, qPrintable(what + ": " + readFile(folder + "/r.json")));
                QVERIFY2(QDir(folder).entryList({".vuro-*"}, QDir::Files | QDir::Hidden).isEmpty(), qPrintable(what));
            }
        }
    }
    QProcess::execute("rm", {"-rf", folder});
}

// Guards against a buffer on the stack: a small stack limit, which the loader accepts, must
// run the walk and the digests alike.
void EndToEndTest::smallStack()
{
    if (!QByteArray(HELPER_SANITIZER).isEmpty())
        QSKIP("the sanitizers' runtime needs a larger stack than the limit here before the helper starts");
    const QString tree = dir.filePath("stack-tree");
    QVERIFY(QDir(tree).mkpath("sub"));
    QVERIFY(writeSizedFile(QFile::encodeName(tree + "/sub/f"), 2048));
    // The least the loader and the libraries' start take (with Qt 5 about 16 KiB, more with Qt
    // 6, and more for longer arguments, which live on the stack too): the smallest limit, from
    // 16 KiB up, at which the helper given a mode that does nothing and arguments as long
    // exits as it should ten times running; then 4 KiB more, as where the stack begins varies
    // from run to run. Ten runs of each mode at that limit.
    int kib = 16;
    const auto startsAt = [&](int limit) {
        for (int i = 0; i < 10; ++i) {
            if (run({"9", tree, dir.filePath("stack-out")}, Helper, {"prlimit", QString("--stack=%1").arg(limit * 1024), "--"}).exitCode != 0)
                return false;
        }
        return true;
    };
    while (kib < 64 && !startsAt(kib))
        kib += 4;
    const QStringList limited = {"prlimit", QString("--stack=%1").arg((kib + 4) * 1024), "--"};
    const QString out = dir.filePath("stack-out");
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(run({"3", tree, out}, Helper, limited).exitCode, 0);
        QCOMPARE(readFile(out + ".json"), folderJson("2.00 KB", 1, 1));
        QCOMPARE(run({"2", abc, out}, Helper, limited).exitCode, 0);
        QCOMPARE(readFile(out + ".json"), expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}}));
        // Where no thread can be made, the first thread's small stack is known before the
        // mode runs on it: no report, and said so, never an overflow.
        if (!hasStrace())
            continue;
        QFile::remove(out + ".json");
        const Run r = run({"-f", "-qq", "-o", "/dev/null", "-e", "inject=clone,clone3:error=EAGAIN", Helper, "3", tree, out}, "strace", limited);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(!QFileInfo::exists(out + ".json") && r.err.contains("no result written"), r.err.constData());
    }
    QProcess::execute("rm", {"-rf", tree});
}

// Guards against a walk cut short by a lack of memory being reported as a result. Where the
// line falls depends on the libraries, so the limit rises step by step until the report is
// written: every run below it must write nothing at all, never a smaller count.
void EndToEndTest::outOfMemory()
{
    if (!QByteArray(HELPER_SANITIZER).isEmpty())
        QSKIP("the sanitizers reserve more address space than any limit here allows");
    const QString many = dir.filePath("many");
    QVERIFY(QDir().mkpath(many));
    QVERIFY(buildFolderFan(many, 20000, QByteArray(195, 'm')));
    const QString out = dir.filePath("many-out");
    // The walk of many folders, and both digests of a small file; and of one past 16 MiB, hashed
    // along the ring where it pays, which needs no more than 4 MiB above the small one's
    // least (its chunks and the hashing threads' stacks: not a thread's default 8 MiB).
    const QString huge = dir.filePath("oom-huge");
    QVERIFY(writeSizedFile(QFile::encodeName(huge), 17 * 1024 * 1024));
    int smallLeast = 0;
    struct Case { const char *mode; QString target; QByteArray expected; };
    for (const Case &c : {Case{"3", many, folderJson("0 bytes", 20000, 0)},
                          Case{"2", abc, expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}})},
                          Case{"2", huge, expectedJson({{"MD5", referenceDigest("md5sum", huge)}, {"SHA1", referenceDigest("sha1sum", huge)}})}}) {
        int refused = 0;
        QByteArray written;
        int mebibytes = 16;
        for (; mebibytes <= 1024 && written.isEmpty(); ++mebibytes) {
            QFile::remove(out + ".json");
            const Run r = run({c.mode, c.target, out}, Helper, {"prlimit", QString("--as=%1").arg(mebibytes << 20), "--"});
            // Once it started (the echo line is out), an abort shows as its status or the runtime's words.
            QVERIFY2(r.out.isEmpty() || (r.exitCode == 0 && !r.err.contains("terminate")), qPrintable(QString("aborted under %1 MiB: %2").arg(mebibytes).arg(QString::fromUtf8(r.err.right(200)))));
            written = QFileInfo::exists(out + ".json") ? readFile(out + ".json") : QByteArray();
            // A library segment the loader could not map comes with no reason: said in its words.
            const bool said = r.err.contains("out of memory: no result written") || r.err.contains("failed to map segment from shared object: no result written") ||
                              r.err.contains("cannot map zero-fill pages: no result written");
            QVERIFY2(r.out.isEmpty() || !written.isEmpty() || said, qPrintable(QString("mode %1 quietly gave no report under %2 MiB").arg(c.mode).arg(mebibytes)));
            refused += said ? 1 : 0;
        }
        QCOMPARE(written, c.expected);
        QVERIFY2(refused > 0, "no limit fell between loading the helper and finishing the mode");
        smallLeast = c.target == abc ? mebibytes - 1 : smallLeast;
        if (c.target != huge || !hasStrace())
            continue;
        // Where threads cannot be had the work runs on one: at 4 MiB above the small file's
        // least, both hashing threads start (the taker is the third).
        const QString trace = dir.filePath("oom-trace");
        run({c.mode, c.target, out}, Helper, {"prlimit", QString("--as=%1").arg((smallLeast + 4) << 20), "strace", "-f", "-qq", "-o", trace, "-e", "trace=clone,clone3", "--"});
        const int threads = QString::fromUtf8(readFile(trace)).count(QRegularExpression("^\\d+ +clone3?\\(.* = [1-9]\\d*$", QRegularExpression::MultilineOption));
        QVERIFY2(threads == 3, qPrintable(QString("%1 threads started at %2 MiB").arg(threads).arg(smallLeast + 4)));
    }
    QProcess::execute("rm", {"-rf", many});
}
