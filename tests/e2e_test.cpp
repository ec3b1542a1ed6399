#include "support/machine.h"
#include "support/trees.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QThread>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <csignal>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

// Starts the built helper as the viewer does and checks its standard output, exit code and the
// result file byte for byte. Digests are published vectors; trees are built with known sizes.
namespace {

const QString Helper = QStringLiteral(HELPER_PATH);
const char *const Md5Abc = "900150983cd24fb0d6963f7d28e17f72";
const char *const Sha1Abc = "a9993e364706816aba3e25717850c26c9cd0d89d";
// A shell command that runs its arguments with every descriptor above the standard streams closed:
// those the test runner leaves open would count against a low open-file limit. (No redirection of
// the loop's own: the shell would restore the error stream from a copy the loop closes.)
const char *const closeInherited = "for fd in /proc/self/fd/*; do n=${fd##*/}; [ \"$n\" -gt 2 ] && [ -e \"$fd\" ] && eval \"exec $n>&-\"; done; exec \"$@\"";

struct Run {
    bool finished = false;
    bool crashed = false; // ended by a signal
    int exitCode = 0;
    QByteArray out;
    QByteArray err;
};

// The result file as the viewer expects it, written out by hand.
QByteArray expectedJson(const QList<QPair<QString, QString>> &entries)
{
    QByteArray text = "[\n";
    for (int i = 0; i < entries.size(); ++i) {
        text += "    {\n        \"" + entries[i].first.toUtf8() + "\": \"" + entries[i].second.toUtf8() + "\"\n    }";
        text += i + 1 < entries.size() ? ",\n" : "\n";
    }
    return text + "]\n";
}

QByteArray echoLine(const QString &program, const QStringList &arguments)
{
    return (QStringList(program) + arguments).join("      ").toUtf8() + "\n";
}

// The bytes of the file at path, given as bytes; "<missing>" when it cannot be read.
QByteArray readBytesFile(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    QByteArray bytes;
    char buffer[4096];
    for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, int(count));
    ::close(fd);
    return bytes;
}

bool writeBytesFile(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool done = fd >= 0 && ::write(fd, content.constData(), size_t(content.size())) == content.size();
    if (fd >= 0)
        ::close(fd);
    return done;
}

// A shell word that prints the bytes exactly, whatever they are.
QString shellBytes(const QByteArray &bytes)
{
    QString format;
    for (unsigned char byte : bytes)
        format += QString("\\%1").arg(byte, 3, 8, QChar('0'));
    return "\"$(printf '" + format + "')\"";
}

// Waits until a child of the process pid (the helper, started by strace) holds the folder at path
// open, as it does from the moment it lists it; false when it did not within timeoutMs.
bool waitUntilHeldOpen(qint64 pid, const QByteArray &path, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        for (const QString &process : QDir("/proc").entryList(QDir::Dirs)) {
            const QList<QByteArray> stat = readBytesFile(QFile::encodeName("/proc/" + process + "/stat")).split(' ');
            if (process.toLongLong() <= 0 || stat.size() < 4 || stat.at(3).toLongLong() != pid)
                continue;
            for (const QString &fd : QDir("/proc/" + process + "/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
                char target[4096];
                const ssize_t length = ::readlink(QFile::encodeName("/proc/" + process + "/fd/" + fd).constData(), target, sizeof target);
                if (length > 0 && QByteArray(target, int(length)) == path)
                    return true;
            }
        }
        QTest::qWait(20);
    }
    return false;
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir{scratchTemplate()};
    QString abc;            // a file holding "abc"
    // Cases that need an unreadable file run as an unprivileged user when this test runs as root,
    // in a folder of the system's temporary area that such a user can reach (the checkout may sit
    // in a folder closed to others), with a copy of the helper there.
    QString shared;             // that folder, removed afterwards
    QString work;               // the folder those cases use, writable by anyone
    QString unprivilegedHelper; // the copy, when it proved to work as that user
    QString faultLibrary = QStringLiteral(HELPER_FAULT_LIBRARY); // there too, when copied
    QString unprivilegedSkip;   // else why those cases are skipped

    // The environment that preloads the fault library with the faults named (each set to 1):
    // VURO_FAULT_NO_OPENAT2, VURO_FAULT_NO_PROC...
    QProcessEnvironment preloadedWith(const QStringList &faults, QProcessEnvironment environment = QProcessEnvironment())
    {
        environment.insert("LD_PRELOAD", faultLibrary);
        environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
        for (const QString &fault : faults)
            environment.insert(fault, "1");
        return environment;
    }

    Run run(const QStringList &arguments, const QString &program = Helper,
            const QStringList &prefix = QStringList(), const QProcessEnvironment &extra = QProcessEnvironment())
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LC_ALL", "C.UTF-8");
        for (const QString &key : extra.keys())
            environment.insert(key, extra.value(key));
        // LeakSanitizer cannot work under a tracer, and says so on the error stream.
        if (prefix.contains("strace") && !QByteArray(HELPER_SANITIZER).isEmpty())
            environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":detect_leaks=0");
        process.setProcessEnvironment(environment);
        // A folder every user can reach: the unprivileged runs start there too.
        process.setWorkingDirectory(work.isEmpty() ? dir.path() : work);
        if (prefix.isEmpty())
            process.start(program, arguments);
        else
            process.start(prefix.first(), prefix.mid(1) + QStringList(program) + arguments);
        Run result;
        result.finished = process.waitForFinished(60000);
        if (!result.finished)
            process.kill();
        result.exitCode = process.exitCode();
        result.crashed = process.exitStatus() == QProcess::CrashExit;
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

    // Runs the helper with standard output and error on a pipe whose reading end is closed already;
    // returns its exit code, or -1 when it did not exit normally (a signal ended it).
    int runWithClosedOutput(const QStringList &arguments)
    {
        QList<QByteArray> texts = {QFile::encodeName(Helper)};
        for (const QString &argument : arguments)
            texts.append(QFile::encodeName(argument));
        std::vector<char *> argv;
        for (QByteArray &text : texts)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0)
            return -1;
        ::close(fds[0]);
        const pid_t pid = ::fork();
        if (pid == 0) {
            // The default action, as a user's shell leaves it; an ignored signal would be inherited.
            ::signal(SIGPIPE, SIG_DFL);
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Runs the helper as an unprivileged user, because root reads everything.
    Run runUnprivileged(const QStringList &arguments)
    {
        if (::geteuid() != 0)
            return run(arguments);
        return run(arguments, unprivilegedHelper, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    }

    // Mounts the slow file system (bench/slowfs) of source at mount, each request answered after
    // delayUs, with server running it; the reason when it cannot be mounted here, else empty.
    QString mountSlowFileSystem(QProcess &server, const QString &source, const QString &mount, int delayUs)
    {
#ifdef SLOWFS_PATH
        if (!QDir().mkpath(mount))
            return "cannot make " + mount;
        server.start(SLOWFS_PATH, {source, mount, QString::number(delayUs)});
        if (!server.waitForStarted())
            return "slowfs did not start";
        struct stat above, below;
        QElapsedTimer timer;
        timer.start();
        while (server.state() == QProcess::Running && timer.elapsed() < 10000 &&
               !(::stat(QFile::encodeName(dir.path()), &above) == 0 && ::stat(QFile::encodeName(mount), &below) == 0 && above.st_dev != below.st_dev))
            QTest::qWait(20);
        if (server.state() != QProcess::Running)
            return "FUSE cannot be mounted here: " + server.readAllStandardError().trimmed();
        return QString();
#else
        (void)server, (void)source, (void)mount, (void)delayUs;
        return "slowfs was not built (libfuse3-dev missing)";
#endif
    }

    // Unmounts a file system mounted by mountSlowFileSystem, even one whose server is gone.
    static void unmount(const QString &mount)
    {
        QProcess::execute("sh", {"-c", "fusermount3 -u -z \"$0\" 2>/dev/null || umount -l \"$0\"", mount});
    }

    // Prepares the shared folder and proves that the copy works there as the unprivileged user:
    // it must write the digest of a file. Returns the reason when it does not.
    QString prepareUnprivilegedRuns()
    {
        QByteArray folder = QFile::encodeName(QDir::tempPath() + "/vuro-e2e-XXXXXX");
        if (!::mkdtemp(folder.data()))
            return "cannot create a folder in " + QDir::tempPath();
        shared = QFile::decodeName(folder);
        work = shared + "/work";
        QFile::setPermissions(shared, QFileDevice::Permissions(0x7555));
        if (!QDir().mkdir(work) || !QFile::setPermissions(work, QFileDevice::Permissions(0x7777)))
            return "cannot prepare " + work;
        if (::geteuid() != 0)
            return QString();
        const QString copy = shared + "/vuro-helper";
        // The fault library too: the dynamic linker of an unprivileged helper must reach it.
        const QString library = shared + "/libhelper_fault.so";
        if (!QFile::copy(Helper, copy) || !QFile::setPermissions(copy, QFileDevice::Permissions(0x7555)) ||
            !QFile::copy(faultLibrary, library) || !QFile::setPermissions(library, QFileDevice::Permissions(0x5555)))
            return "cannot copy the helper to " + shared;
        faultLibrary = library;
        unprivilegedHelper = copy;
        if (!writeFile(work + "/probe", "abc"))
            return "cannot write in " + work;
        const Run r = runUnprivileged({"1", work + "/probe", work + "/probe"});
        if (readFile(work + "/probe.json") != expectedJson({{"SHA1", Sha1Abc}})) {
            unprivilegedHelper.clear();
            return "the helper copied to " + shared + " does not work as user 65534 (" + r.err.trimmed() + ")";
        }
        return QString();
    }

    // Runs the helper; checks the echo and tag lines, exit code 0, and the result file's bytes
    // (an empty expectation: no result file at all).
    void checkRun(const QByteArray &tag, const QStringList &arguments, const QString &resultPath,
                  const QByteArray &expected)
    {
        QFile::remove(resultPath);
        const Run r = run(arguments);
        QVERIFY2(r.finished, "the helper hung");
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, echoLine(Helper, arguments) + tag);
        if (expected.isEmpty())
            QVERIFY2(!QFileInfo::exists(resultPath), qPrintable(resultPath));
        else
            QCOMPARE(readFile(resultPath), expected);
    }

    void checkDigestRun(const QStringList &arguments, const QString &resultPath, const QByteArray &expected)
    {
        checkRun("IT_MD5_SHA1\n", arguments, resultPath, expected);
    }

    void checkFolderRun(const QStringList &arguments, const QString &resultPath, const QByteArray &expected)
    {
        checkRun("IT_Dir_Size\n", arguments, resultPath, expected);
    }

    void checkNothingWritten(const QStringList &arguments, const QByteArray &tag, const QString &resultPath)
    {
        checkRun(tag, arguments, resultPath, QByteArray());
    }

private slots:
    // Names that are not valid UTF-8 and read-only folders defeat the framework's own removal.
    void cleanupTestCase()
    {
        QProcess::execute("rm", {"-rf", dir.path()});
        if (!shared.isEmpty())
            QProcess::execute("rm", {"-rf", shared});
    }

    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QVERIFY(dir.isValid());
        QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
        abc = dir.filePath("abc.bin");
        QVERIFY(writeFile(abc, "abc"));
        unprivilegedSkip = prepareUnprivilegedRuns();
    }

    // Guards against a missing echo, a wrong exit code, or a mode run for a number out of range.
    void commandLineAndModes()
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

    // Guards against wrong digests, keys, order or layout in the result file.
    void digestModes()
    {
        const QString out = dir.filePath("out");
        checkDigestRun({"0", abc, out}, out + ".json", expectedJson({{"MD5", Md5Abc}}));
        checkDigestRun({"1", abc, out}, out + ".json", expectedJson({{"SHA1", Sha1Abc}}));
        checkDigestRun({"2", abc, out}, out + ".json", expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}}));
        // A link to a file is that file, as md5sum takes it.
        QVERIFY(QFile::link(abc, dir.filePath("abc-link")));
        checkDigestRun({"0", dir.filePath("abc-link"), out}, out + ".json", expectedJson({{"MD5", Md5Abc}}));
        const QString empty = dir.filePath("empty");
        QVERIFY(writeFile(empty, ""));
        checkDigestRun({"2", empty}, empty + ".json",
                       expectedJson({{"MD5", "d41d8cd98f00b204e9800998ecf8427e"},
                                     {"SHA1", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}}));
        // Where the system gives no thread (its process limit reached: EAGAIN, as strace makes
        // every thread's creation fail; a limit of the user's own would count whatever else the
        // user runs), the mode and both hashes run on the first thread: the same report.
        if (!QByteArray(HELPER_SANITIZER).isEmpty() || QStandardPaths::findExecutable("strace").isEmpty())
            QSKIP("no threads: the sanitizers' runtimes start threads of their own, or strace is not installed");
        QVERIFY(writeFile(work + "/nproc-abc", "abc"));
        run({"2", work + "/nproc-abc", work + "/nproc"}, Helper, {"strace", "-qq", "-o", "/dev/null", "-e", "inject=clone,clone3:error=EAGAIN", "--"});
        QCOMPARE(readFile(work + "/nproc.json"), expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}}));
    }

    // Guards against work sized for the big case on the small one, and the reverse: the threads a
    // call starts (clone calls strace sees) are one, the signal taker, for a file of up to 16 MiB
    // or a small folder; a larger file is hashed on two more, and a walk that shows
    // itself big (each listing held 2 ms) starts its walkers. Digests and counts stay those of
    // md5sum, sha1sum and find (the tree's: 20 folders, 50 files of 3 bytes). And against any
    // read of uninitialised memory, invalid access or memory lost for good in each of those ways:
    // each row again under valgrind's memcheck, started by a caller that ignores INT.
    void callsAsTheWorkNeeds()
    {
        if (!QByteArray(HELPER_SANITIZER).isEmpty() || QStandardPaths::findExecutable("strace").isEmpty())
            QSKIP("counting threads: the sanitizers' runtimes start threads of their own, or strace is not installed");
        const QString big = work + "/threads-big", huge = work + "/threads-huge", tree = work + "/threads-tree", out = work + "/threads-out";
        QVERIFY(writeSizedFile(QFile::encodeName(big), 4 * 1024 * 1024 + 1));
        QVERIFY(writeSizedFile(QFile::encodeName(huge), 16 * 1024 * 1024 + 1));
        for (int d = 0; d < 10; ++d) {
            QVERIFY(QDir(tree).mkpath(QString("d%1/s").arg(d)));
            for (int f = 0; f < 5; ++f)
                QVERIFY(writeFile(QString("%1/d%2/%3").arg(tree).arg(d).arg(f == 4 ? "s/f" : QString("f%1").arg(f)), "abc"));
        }
        struct Row { QStringList arguments; const char *held; int least, most; QByteArray expected; };
        // Every walker of a big walk: 8, or 2 a core where there are more than 4 (the signal taker
        // is one of the threads counted).
        const int walkers = std::max(8, 2 * int(std::thread::hardware_concurrency()));
        const QList<Row> rows = {
            {{"0", abc, out}, "", 1, 1, expectedJson({{"MD5", Md5Abc}})},
            {{"1", abc, "x", "y", "z", out}, "", 1, 1, expectedJson({{"SHA1", Sha1Abc}})},
            {{"2", abc, out}, "", 1, 1, expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}})},
            {{"2", big, out}, "", 1, 1,
             expectedJson({{"MD5", referenceDigest("md5sum", big)}, {"SHA1", referenceDigest("sha1sum", big)}})},
            {{"2", huge, out}, "", 3, 3,
             expectedJson({{"MD5", referenceDigest("md5sum", huge)}, {"SHA1", referenceDigest("sha1sum", huge)}})},
            // A file that gives more than its size (0) is read again from its start.
            {{"2", "/proc/version", out}, "", 1, 1,
             expectedJson({{"MD5", referenceDigest("md5sum", "/proc/version")}, {"SHA1", referenceDigest("sha1sum", "/proc/version")}})},
            {{"3", tree + "/d0", out}, "", 1, 1, expectedJson({{"Total Size", "15 bytes"}, {"Folder Count ", "1"}, {"File Count", "5"}})},
            {{"3", tree, out}, "getdents64:delay_exit=2000", walkers, walkers,
             expectedJson({{"Total Size", "150 bytes"}, {"Folder Count ", "20"}, {"File Count", "50"}})},
        };
        const bool memcheck = !QStandardPaths::findExecutable("valgrind").isEmpty();
        for (const Row &row : rows) {
            const QString trace = work + "/threads-trace";
            // Only the calls named stop the helper: the small calls run at their own pace.
            const QString traced = *row.held ? "trace=clone,clone3,getdents64" : "trace=clone,clone3";
            QStringList strace = {"strace", "-f", "-qq", "--seccomp-bpf", "-o", trace, "-e", traced};
            if (*row.held)
                strace += {"-e", QString("inject=") + row.held};
            QFile::remove(out + ".json");
            run(row.arguments, Helper, strace + QStringList("--"));
            const int threads = QString::fromUtf8(readFile(trace)).count(QRegularExpression("^\\d+ +clone3?\\(", QRegularExpression::MultilineOption));
            const QString what = row.arguments.join(' ') + QString(": %1 threads").arg(threads);
            QVERIFY2(threads >= row.least && threads <= row.most, qPrintable(what));
            QVERIFY2(readFile(out + ".json") == row.expected, qPrintable(what));
            if (!memcheck)
                continue;
            QFile::remove(out + ".json");
            const Run checked = run(row.arguments, Helper, {"sh", "-c", "trap '' INT; exec \"$@\"", "sh", "valgrind", "-q", "--error-exitcode=99",
                                                                        "--leak-check=full", "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite"});
            QVERIFY2(checked.exitCode != 99 && readFile(out + ".json") == row.expected, qPrintable(row.arguments.join(' ') + ": " + checked.err.left(2000)));
        }
        if (!memcheck)
            QSKIP("the rows under memcheck: valgrind is not installed");
    }

    // Guards against a hang or a stray file for targets that are not regular files.
    void digestTargetsThatAreNoFile()
    {
        const QString out = dir.filePath("none");
        const QString fifo = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        for (const QString &target : {dir.filePath("missing"), dir.path(), fifo, QString("/dev/null")})
            checkNothingWritten({"2", target, out}, "IT_MD5_SHA1\n", out + ".json");
        checkNothingWritten({"1"}, "IT_MD5_SHA1\n", dir.filePath("1.json"));
    }

    // Guards against a digest of part of a file passing for the file's own where the system
    // misstates it: a /proc file (it states 0 bytes), and through the test file system (whose
    // times are whole seconds) a size below what its reads give and no reads at an offset
    // (ESPIPE), small and past 16 MiB. As md5sum and sha1sum read them.
    void filesThatMisstateThemselves()
    {
        const QString source = dir.filePath("misstated"), mount = dir.filePath("misstated-mount"), out = dir.filePath("misstated-out");
        QVERIFY(QDir().mkpath(source));
        QStringList files = {"/proc/version"};
        for (const char *name : {"short-small", "short-big", "noseek-small", "noseek-big"}) {
            QVERIFY(writeSizedFile(QFile::encodeName(source + "/" + name), QByteArray(name).endsWith("big") ? 16 * 1024 * 1024 + 7 : 1000));
            files.append(name);
        }
        QProcess server;
        const QString refused = mountSlowFileSystem(server, source, mount, 0);
        // Whatever fails, nothing stays mounted.
        const auto unmounted = qScopeGuard([&] {
            unmount(mount);
            server.waitForFinished(5000);
        });
        for (const QString &file : files) {
            if (!file.startsWith('/') && !refused.isEmpty())
                QSKIP(qPrintable("the test file system's files: " + refused));
            const QString path = file.startsWith('/') ? file : mount + "/" + file, real = file.startsWith('/') ? file : source + "/" + file;
            QVERIFY2(QFileInfo(path).size() == (file.startsWith("noseek") ? QFileInfo(real).size() : file.startsWith("short") ? 10 : 0),
                     qPrintable(file + " states its size"));
            QFile::remove(out + ".json");
            run({"2", path, out});
            QVERIFY2(readFile(out + ".json") == expectedJson({{"MD5", referenceDigest("md5sum", real)}, {"SHA1", referenceDigest("sha1sum", real)}}),
                     qPrintable(file + ": " + readFile(out + ".json")));
        }
    }

    // Guards against the work stopping when whoever reads the helper's output has gone away, and
    // against the helper's files taking the numbers of standard streams its caller closed.
    void closedOutput()
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

    // Guards against a report that claims a digest of a file the helper could not read.
    void unreadableFile()
    {
        if (!unprivilegedSkip.isEmpty())
            QSKIP(qPrintable(unprivilegedSkip));
        const QString secret = work + "/secret";
        QVERIFY(writeFile(secret, "abc"));
        QFile::setPermissions(secret, QFileDevice::Permissions());
        const QString out = work + "/secret-out";
        const QStringList arguments = {"2", secret, out};
        const Run r = runUnprivileged(arguments);
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.endsWith("      2      " + secret.toUtf8() + "      " + out.toUtf8() + "\nIT_MD5_SHA1\n"));
        QCOMPARE(readFile(out + ".json"), expectedJson({{"MD5", ""}, {"SHA1", ""}}));
        // An earlier result its owner can neither read nor write (mode 000, its attributes reached
        // through a path-only descriptor alone) is replaced all the same, and keeps its mode.
        QVERIFY(QFile::setPermissions(out + ".json", QFileDevice::Permissions()));
        QVERIFY(writeFile(work + "/readable", "abc"));
        QCOMPARE(runUnprivileged({"1", work + "/readable", out}).exitCode, 0);
        struct stat kept;
        QVERIFY(::stat(QFile::encodeName(out + ".json").constData(), &kept) == 0 && (kept.st_mode & 07777) == 0);
        QVERIFY(QFile::setPermissions(out + ".json", QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QCOMPARE(readFile(out + ".json"), expectedJson({{"SHA1", Sha1Abc}}));
    }

    // Guards against arguments with spaces or non-ASCII characters being mangled.
    void spacesAndNonAscii()
    {
        QVERIFY(QDir(dir.path()).mkpath("dossier é"));
        const QString target = dir.filePath("dossier é/naïve file.bin");
        QVERIFY(writeFile(target, "abc"));
        const QString out = dir.filePath("dossier é/résultat ü");
        checkDigestRun({"2", target, out}, out + ".json", expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}}));
        checkFolderRun({"3", dir.filePath("dossier é"), out}, out + ".json",
                       expectedJson({{"Total Size", "3 bytes"}, {"Folder Count ", "0"}, {"File Count", "1"}}));
    }

    // Guards against the report replacing the very file it describes.
    void targetIsNeverOverwritten()
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
    void resultLinksAsTheSystemFollowsThem()
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
        if (QStandardPaths::findExecutable("strace").isEmpty())
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
    void resultNameAtTheLengthLimit()
    {
        const QString name = dir.filePath(QString(250, 'n') + ".json");
        QVERIFY(writeFile(name, "the previous target's report"));
        checkDigestRun({"1", abc, name}, name, expectedJson({{"SHA1", Sha1Abc}}));
        QCOMPARE(QDir(dir.path()).entryList({".vuro-*"}, QDir::Files | QDir::Hidden), QStringList());
    }

    // Guards against the kernel's path of a folder trusted where it names another namespace's
    // tree: the start folder a tmpfs of another mount namespace, given through /proc/PID/root,
    // walked without openat2 at 5 handles (the checked open); its folder L swapped, at the open
    // of L/sub, for a link whose absolute text names, here, a tree of five 1 MB files. The swap is
    // refused: L counts with its own file, nothing of the other tree does.
    void kernelPathOfAnotherNamespace()
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
        QVERIFY2(readFile(out + ".json") == expectedJson({{"Total Size", "3 bytes"}, {"Folder Count ", "1"}, {"File Count", "1"}}),
                 qPrintable(readFile(out + ".json") + r.err));
        QProcess::execute("rm", {"-rf", ns});
    }

    // Guards against a link swapped in for a folder between its listing and its walk being walked,
    // or counted: a background loop swaps a folder and a link to a bigger tree under one name while
    // the helper runs, with openat2 and without it at the lowest file limit (the checked open);
    // every report is the folder's whole one, or one where it was missed or found gone.
    void linkSwappedInForAFolder()
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
        const QList<QByteArray> allowed = {expectedJson({{"Total Size", "1 bytes"}, {"Folder Count ", "2"}, {"File Count", "1"}}),
                                           expectedJson({{"Total Size", "0 bytes"}, {"Folder Count ", "2"}, {"File Count", "0"}}),
                                           expectedJson({{"Total Size", "0 bytes"}, {"Folder Count ", "1"}, {"File Count", "0"}})};
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
    void startFolderAnchoredByItsHandle()
    {
        const QString tree = dir.filePath("anchored");
        for (int i = 1; i <= 5; ++i) {
            QVERIFY(QDir(tree).mkpath(QString("d%1/e").arg(i)));
            QVERIFY(writeFile(tree + QString("/d%1/e/f").arg(i), "hi\n"));
        }
        const QByteArray whole = expectedJson({{"Total Size", "15 bytes"}, {"Folder Count ", "10"}, {"File Count", "5"}});
        const QString out = dir.filePath("anchored-out");
        if (QStandardPaths::findExecutable("strace").isEmpty()) {
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
        QFile::setPermissions(outer, QFileDevice::Permissions(0x7700)); // root's, closed to others
        QProcess helper;
        helper.setWorkingDirectory(inner);
        if (::geteuid() == 0)
            helper.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "--", unprivilegedHelper, "3", ".", "res"});
        else
            helper.start(Helper, {"3", ".", "res"});
        QVERIFY(helper.waitForFinished(30000));
        const QByteArray report = readFile(inner + "/res.json");
        QFile::setPermissions(outer, QFileDevice::Permissions(0x7777));
        QCOMPARE(report, expectedJson({{"Total Size", "11.7 KB"}, {"Folder Count ", "1"}, {"File Count", "1"}}));
    }

    // Guards against a volume that stops answering mid-walk giving a report that looks whole:
    // what the system says of a share or device gone (ENOTCONN, ESTALE) is no missing folder,
    // and no failure below a start folder that no longer answers is one folder's: a file system
    // whose every answer waits 20 ms is killed 1 s into the walk. (Each step's outcomes one by one
    // are folderstats_test::eachOutcomeOfTheWalk's.)
    void volumeGoneMidWalk()
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
    void ancestorSwappedMidWalk()
    {
        if (QStandardPaths::findExecutable("strace").isEmpty())
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
                         expectedJson({{"Total Size", "3 bytes"}, {"Folder Count ", "3"}, {"File Count", "2"}}));
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

    // Guards against no report for ordinary users where the kernel will not name a descriptor
    // (kernels before 6.10 without CAP_DAC_READ_SEARCH): the new file is named through its /proc
    // link instead, or written under a temporary name where there is no /proc.
    void unnamedFileNamedThroughProc()
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
    void killedRunsLeaveNothing()
    {
        if (QStandardPaths::findExecutable("strace").isEmpty())
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
    void concurrentInPlaceWriters()
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
        QFile::setPermissions(closed, QFileDevice::Permissions(0x5555));
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
        QFile::setPermissions(closed, QFileDevice::Permissions(0x7777));
        QCOMPARE(torn, 0);
        QCOMPARE(QDir(closed).entryList(QDir::Files | QDir::Hidden), QStringList("result.json"));
    }

    // Guards against the viewer not being started, or started without the pause, and against it
    // taking what the caller gave the helper: a descriptor (a pipe whose reader then waits for the
    // viewer's end), an ignored or blocked signal, the current folder (a volume kept busy).
    void restartViewer()
    {
        QTemporaryDir bin{scratchTemplate()};
        const QString marker = bin.filePath("started");
        const QString viewer = bin.filePath("Vuro.exe");
        QVERIFY(QFile::copy(VIEWER_STAND_IN, viewer));
        QFile::setPermissions(viewer, QFileDevice::Permissions(0x7555));
        QProcessEnvironment extra;
        extra.insert("PATH", bin.path() + ":" + qgetenv("PATH"));
        extra.insert("VURO_TEST_MARKER", marker);
        // The caller reads the helper's output, and a pipe it gave as descriptor 3, to their end.
        // A signal blocked in the caller is blocked in the helper too, as it would be.
        sigset_t blocked, before;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &blocked, &before);
        QElapsedTimer timer;
        timer.start();
        Run r = run({"-c", "{ \"$0\" 4 3>&1; echo \"exit $?\"; } | cat", Helper}, "sh", {}, extra);
        const qint64 elapsed = timer.elapsed();
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        QVERIFY(elapsed >= 1900);
        // The viewer stays 8 s: a caller whose pipe ends before 6 s did not wait for it, however loaded the machine.
        QVERIFY2(elapsed < 6000, "the viewer kept the helper's output or descriptor 3 open");
        QCOMPARE(r.out, echoLine(Helper, {"4"}) + "exit 1\n");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 10000);
        const QList<QByteArray> told = readFile(marker).split('\n');
        const pid_t started = told.value(0).mid(4).toInt();
        QVERIFY2(started > 0 && ::kill(started, 0) == 0, "the viewer did not outlive the helper");
        ::kill(started, SIGKILL);
        QCOMPARE(told.value(1), QByteArray("fds"));
        QCOMPARE(told.value(2).simplified(), QByteArray("SigBlk: 0000000000000000"));
        QCOMPARE(told.value(3).simplified(), QByteArray("SigIgn: 0000000000000000"));
        QCOMPARE(told.value(4), "cwd " + QFile::encodeName(bin.path()));

        extra.insert("PATH", dir.filePath("no-viewer-here"));
        r = run({"4", abc, dir.filePath("r4")}, Helper, {}, extra);
        QCOMPARE(r.exitCode, 0);
        QVERIFY(!QFileInfo::exists(dir.filePath("r4.json")));
        // Beside the helper, where no PATH folder holds one: the helper's own folder is searched.
        const QString besideHelper = bin.filePath("vuro-helper");
        QVERIFY(QFile::copy(Helper, besideHelper));
        QFile::setPermissions(besideHelper, QFileDevice::Permissions(0x7555));
        QFile::remove(marker);
        r = run({"4"}, besideHelper, {}, extra);
        QCOMPARE(r.exitCode, 1);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker) && readFile(marker).contains('\n'), 10000);
        ::kill(pid_t(readFile(marker).split('\n').value(0).mid(4).toInt()), SIGKILL);
        // A relative PATH entry names a folder below whatever the current folder is: never searched.
        // Planted at both places the relative name could lead, from the current folder and from the
        // viewer's own folder once started there.
        const QString planted = (work.isEmpty() ? dir.path() : work) + "/planted-bin";
        QVERIFY(QDir().mkpath(planted + "/planted-bin"));
        for (const QString &copy : {planted + "/Vuro.exe", planted + "/planted-bin/Vuro.exe"}) {
            QFile::remove(copy);
            QVERIFY(QFile::copy(VIEWER_STAND_IN, copy));
            QFile::setPermissions(copy, QFileDevice::Permissions(0x7555));
        }
        QFile::remove(marker);
        extra.insert("PATH", "planted-bin");
        r = run({"4"}, Helper, {}, extra);
        QCOMPARE(r.exitCode, 0);
        QTest::qWait(300);
        QVERIFY2(!QFileInfo::exists(marker), "a viewer in a relative PATH folder was started");
        QProcess::execute("rm", {"-rf", planted});
    }

    // Guards against a file size limit cutting a report short: the limit's signal would end the
    // helper mid-write, so the earlier result must stay whole and no file of its own stay behind,
    // written in place (a hard-linked result, a read-only folder) or under a named temporary.
    void fileSizeLimit()
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
        QFile::setPermissions(closed, QFileDevice::Permissions(0x5555));
        const QStringList arguments = {"2", work + "/fsize-big", closed + "/r"};
        r = ::geteuid() == 0 ? run(limited.mid(1) + QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", unprivilegedHelper} + arguments, "prlimit")
                             : run(arguments, Helper, limited);
        QFile::setPermissions(closed, QFileDevice::Permissions(0x7777));
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(closed + "/r.json"), earlier);
    }

    // Guards against a termination signal cutting the writer's steps short: one that arrives while
    // a named temporary is flushed (held), or while a hard-linked result is emptied for its rewrite
    // (held), ends the process once the new report is in place, whole, on every name, with no other
    // file left; one that the caller ignored stays ignored.
    void terminationSignalsCleanUp()
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
            QProcess helper;
            helper.setProcessEnvironment(slowFlush);
            if (QByteArray(c.how) == "in place") {
                if (QStandardPaths::findExecutable("strace").isEmpty())
                    QSKIP("the in-place case: strace is not installed");
                QVERIFY(::link(QFile::encodeName(folder + "/r.json"), QFile::encodeName(folder + "/r2.json")) == 0);
                helper.start("strace", {"-f", "-qq", "-o", "/dev/null", "-P", folder + "/r.json", "-e", "inject=ftruncate:delay_exit=1500000",
                                        Helper, "0", abc, folder + "/r"});
                signalWhen(helper, c.signal, true, emptied);
                QCOMPARE(readFile(folder + "/r2.json"), fresh);
            } else if (QByteArray(c.how) == "no thread") {
                if (QStandardPaths::findExecutable("strace").isEmpty())
                    QSKIP("the case without threads: strace is not installed");
                helper.start("strace", {"-f", "-qq", "-o", "/dev/null", "-e", "inject=clone,clone3:error=EAGAIN", Helper, "0", abc, folder + "/r"});
                signalWhen(helper, c.signal, true, temporaryMade);
            } else if (QByteArray(c.how) == "ignored") {
                helper.start("sh", {"-c", "trap '' TERM; exec \"$0\" \"$@\"", Helper, "0", abc, folder + "/r"});
                signalWhen(helper, c.signal, false, temporaryMade);
            } else {
                helper.start(Helper, {"0", abc, folder + "/r"});
                signalWhen(helper, c.signal, false, temporaryMade);
            }
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
        const QByteArray treeReport = expectedJson({{"Total Size", "3 bytes"}, {"Folder Count ", "1"}, {"File Count", "1"}});
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
            if (m.noThread && QStandardPaths::findExecutable("strace").isEmpty())
                QSKIP("the moments without threads: strace is not installed");
            for (const bool toThread : {false, true}) {
                QProcessEnvironment at = preloadedWith(toThread ? QStringList("VURO_FAULT_TERM_TO_THREAD") : QStringList());
                at.insert("VURO_FAULT_TERM_AT", m.call);
                if (m.after_)
                    at.insert("VURO_FAULT_TERM_AFTER", m.after_);
                if (m.to)
                    at.insert("VURO_FAULT_TERM_TO_THREAD", m.to);
                const QStringList noThread = {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=clone,clone3:error=EAGAIN", "--"};
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
    void smallStack()
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
            QCOMPARE(readFile(out + ".json"), expectedJson({{"Total Size", "2.00 KB"}, {"Folder Count ", "1"}, {"File Count", "1"}}));
            QCOMPARE(run({"2", abc, out}, Helper, limited).exitCode, 0);
            QCOMPARE(readFile(out + ".json"), expectedJson({{"MD5", Md5Abc}, {"SHA1", Sha1Abc}}));
            // Where no thread can be made, the first thread's small stack is known before the
            // mode runs on it: no report, and said so, never an overflow.
            if (QStandardPaths::findExecutable("strace").isEmpty())
                continue;
            QFile::remove(out + ".json");
            const Run r = run({"-f", "-qq", "-o", "/dev/null", "-e", "inject=clone,clone3:error=EAGAIN", Helper, "3", tree, out}, "strace", limited);
            QCOMPARE(r.exitCode, 0);
            QVERIFY2(!QFileInfo::exists(out + ".json") && r.err.contains("no result written"), r.err.constData());
        }
        QProcess::execute("rm", {"-rf", tree});
    }

    // Guards against what the earlier result carries being dropped: attributes that cannot be
    // listed, or read through /proc, which a container or a mount namespace may lack (the
    // replacement must still be whole, a new file, and keep them); and against file flags lost.
    void replacementWithoutProcAndFlags()
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
            const Run r = run({"-f", "-qq", "-o", "/dev/null", "-e", QString("inject=flistxattr,listxattr:error=%1").arg(error), Helper, "1", abc, folder + "/r"}, "strace");
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
            const Run r = run({"-f", "-qq", "-o", "/dev/null", "-e", "inject=ioctl:error=" + error + ":when=2", Helper, "1", abc, folder + "/r"}, "strace");
            QCOMPARE(readFile(folder + "/r.json"), error == "EIO" ? expectedJson({{"SHA1", Sha1Abc}}) : QByteArray("earlier"));
            QVERIFY2(error == "EIO" || r.err.contains("out of memory: no result written"), r.err.constData());
            QVERIFY2(::stat(result.constData(), &after) == 0 && after.st_ino == before.st_ino, qPrintable(error + ": replaced, its flags lost"));
        }
        QProcess::execute("rm", {"-rf", folder});
    }

    // Guards against wrong sums, counts, key spelling or order in a folder report.
    void folderStats()
    {
        const QString tree = dir.filePath("tree");
        QVERIFY(QDir(tree).mkpath("sub"));
        QVERIFY(writeSizedFile(QFile::encodeName(tree + "/a"), 1000));
        QVERIFY(writeSizedFile(QFile::encodeName(tree + "/b"), 340));
        for (const char *name : {"/sub/c", "/sub/d", "/sub/e"})
            QVERIFY(writeSizedFile(QFile::encodeName(tree + name), 100));
        const QByteArray expected = expectedJson({{"Total Size", "1.60 KB"}, {"Folder Count ", "1"}, {"File Count", "5"}});
        const QString out = dir.filePath("tree-out");
        checkFolderRun({"3", tree, out}, out + ".json", expected);
        checkFolderRun({"3", tree + "/", out}, out + ".json", expected);
        // Three arguments and a trailing separator: the report lands inside, after the walk.
        checkFolderRun({"3", tree + "/"}, tree + "/.json", expected);
        QFile::remove(tree + "/.json");

        QVERIFY(QDir(dir.path()).mkpath("hollow"));
        checkFolderRun({"3", dir.filePath("hollow"), out}, out + ".json",
                       expectedJson({{"Total Size", "0 bytes"}, {"Folder Count ", "0"}, {"File Count", "0"}}));
        // A volume root's capacity replaces an earlier result like any report.
        QVERIFY(writeFile(out + ".json", expected));
        QVERIFY(run({"3", "/", out}).finished);
        QVERIFY(readFile(out + ".json").contains("\"Total Size\""));
        QVERIFY(!readFile(out + ".json").contains("Count"));
        for (const QString &target : {dir.filePath("missing"), abc})
            checkNothingWritten({"3", target, out}, "IT_Dir_Size\n", out + ".json");
        checkNothingWritten({"3"}, "IT_Dir_Size\n", dir.filePath("3.json"));
    }

    // Guards against a crash on very deep trees, and against a report that depends on the
    // open-file limit (1024 in a login shell, some users far fewer): under a limit of 5, the
    // walkers wait for one another's listings instead of failing for want of descriptors, with
    // openat2 or without it (each folder then opened by one descriptor too).
    void deepAndWideTreeUnderLowFileLimit()
    {
        const QString deep = dir.filePath("deep");
        QVERIFY(QDir().mkpath(deep));
        QVERIFY(buildFolderChain(deep, 1400, "d"));
        QVERIFY(buildFolderFan(deep, 50, "w"));
        for (int i = 0; i < 50; ++i)
            QVERIFY(writeSizedFile(QFile::encodeName(deep + QString("/%1w/f").arg(i, 5, 10, QChar('0'))), 1));
        const QString out = dir.filePath("deep-out");
        // The sanitizers' runtimes need descriptors of their own at such limits (ThreadSanitizer's now and then).
        // The release build runs every row at 5.
        const QString limit = !QByteArray(HELPER_SANITIZER).isEmpty() ? "--nofile=64:64" : "--nofile=5:5";
        const QProcessEnvironment noOpenat2 = preloadedWith({"VURO_FAULT_NO_OPENAT2"});
        // With openat2, and without it, where the one open checked afterwards takes the place of
        // name by name at any depth (1,400 levels: 3 bytes a level once passed the path limit).
        for (const QProcessEnvironment &environment : {QProcessEnvironment(), noOpenat2}) {
            QFile::remove(out + ".json");
            const Run r = run({"3", deep, out}, Helper, {"bash", "-c", closeInherited, "bash", "prlimit", limit, "--"}, environment);
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(readFile(out + ".json"),
                     expectedJson({{"Total Size", "1.41 KB"}, {"Folder Count ", "1450"}, {"File Count", "1450"}}));
            QCOMPARE(r.err, QByteArray());
        }
        // Folders that may be listed but not searched (as user 65534: root searches all) are
        // counted, and what lies below them counted as closed to the user, without openat2 as with
        // it; never taken for a folder swapped for a link. Forty of each, the helper slowed by
        // strace's stops (where there is strace) so that its walkers start and meet.
        const QStringList slowed = QStandardPaths::findExecutable("strace").isEmpty() || !QByteArray(HELPER_SANITIZER).isEmpty()
                                       ? QStringList() : QStringList{"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=openat,openat2,getdents64"};
        if (::geteuid() != 0 || !unprivilegedHelper.isEmpty()) {
            const QString closed = work + "/unsearchable";
            QVERIFY(writeSizedFile(QFile::encodeName(QDir(closed).mkpath("a") ? closed + "/a/f" : QString()), 1));
            for (int i = 0; i < 40; ++i) {
                QVERIFY(QDir().mkpath(closed + QString("/a/b%1/sub/deeper").arg(i)) && QDir().mkpath(closed + QString("/a/c%1").arg(i)));
                QVERIFY(writeSizedFile(QFile::encodeName(closed + QString("/a/c%1/f").arg(i)), 1));
                QVERIFY(QFile::setPermissions(closed + QString("/a/b%1").arg(i), QFileDevice::Permissions(0x4444)));
            }
            const QStringList asUser = ::geteuid() == 0 ? QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"} : QStringList();
            for (const QProcessEnvironment &environment :
                 {QProcessEnvironment(), noOpenat2, preloadedWith({"VURO_FAULT_NO_OPENAT2", "VURO_FAULT_NO_PROC"})}) {
                QFile::remove(work + "/closed-out.json");
                const Run r = run({"3", closed, work + "/closed-out"}, ::geteuid() == 0 ? unprivilegedHelper : Helper,
                                  QStringList{"bash", "-c", closeInherited, "bash"} + slowed + QStringList{"prlimit", limit, "--"} + asUser, environment);
                QCOMPARE(readFile(work + "/closed-out.json"),
                         expectedJson({{"Total Size", "41 bytes"}, {"Folder Count ", "121"}, {"File Count", "41"}}));
                QCOMPARE(r.err, QByteArray());
            }
            for (int i = 0; i < 40; ++i)
                QFile::setPermissions(closed + QString("/a/b%1").arg(i), QFileDevice::Permissions(0x7777));
            QProcess::execute("rm", {"-rf", closed});
        }
        // Two chains of 22 folders of 240-byte names (past 4,096 bytes) at 6 handles, slowed so that
        // walkers meet (never trace=none, which drops injections): each walker once needed one more
        // handle than the other left, and both gave up. With openat2 and without it, every run.
        if (!slowed.isEmpty()) {
            const QString chains = work + "/chains";
            for (const char *top : {"/c0", "/c1"})
                QVERIFY(QDir().mkpath(chains + top) && buildFolderChain(chains + top, 22, QByteArray(240, 'n')));
            for (int i = 0; i < 6; ++i) {
                QFile::remove(out + ".json");
                const QStringList without = i % 2 ? QStringList{"-e", "inject=openat2:error=ENOSYS"} : QStringList();
                const Run r = run({"3", chains, out}, Helper, QStringList{"bash", "-c", closeInherited, "bash"} + slowed + without + QStringList{"prlimit", "--nofile=6:6", "--"});
                QVERIFY2(readFile(out + ".json") == expectedJson({{"Total Size", "44 bytes"}, {"Folder Count ", "46"}, {"File Count", "44"}}),
                         qPrintable(without.join(' ') + ": " + r.err.left(300)));
            }
            QProcess::execute("rm", {"-rf", chains});
        }
        // Without openat2 (a kernel before 5.6: ENOSYS; a container's filter: EPERM), where two
        // walkers each holding half a path once saw no listing open and gave up; and where the
        // last descriptor is a library's for a moment as the walk opens its first folder, which
        // a lone walker once took for a limit nothing could lift.
        const QString small = dir.filePath("small");
        for (const char *file : {"/a/b/c/f", "/x/y/g", "/a/h"}) {
            QVERIFY(QDir().mkpath(QFileInfo(small + file).path()));
            QVERIFY(writeSizedFile(QFile::encodeName(small + file), 1));
        }
        const QStringList filtered = {"strace", "-f", "-qq", "-o", "/dev/null", "--seccomp-bpf", "-e", "trace=openat2", "-e", "inject=openat2:error=EPERM"};
        QProcessEnvironment held = noOpenat2;
        held.insert("VURO_FAULT_HOLD_AT", "a");
        for (const char *without : {"ENOSYS", "EPERM", "ENOSYS, held"}) {
            const bool perm = QByteArray(without) == "EPERM";
            if (perm && QStandardPaths::findExecutable("strace").isEmpty())
                QSKIP("openat2 refused with EPERM: strace is not installed");
            for (int i = 0; i < 5; ++i) {
                QFile::remove(out + ".json");
                const Run small5 = run({"3", small, out}, Helper, QStringList{"bash", "-c", closeInherited, "bash"} + (perm ? filtered : QStringList()) + QStringList{"prlimit", limit, "--"},
                                       perm ? QProcessEnvironment() : QByteArray(without).endsWith("held") ? held : noOpenat2);
                QVERIFY2(small5.err.isEmpty(), qPrintable(QString(without) + ": " + small5.err.left(300)));
                QCOMPARE(readFile(out + ".json"), expectedJson({{"Total Size", "3 bytes"}, {"Folder Count ", "5"}, {"File Count", "3"}}));
            }
        }
        QProcess::execute("rm", {"-rf", deep});
    }

    // Guards against a walk cut short by a lack of memory being reported as a result. Where the
    // line falls depends on the libraries, so the limit rises step by step until the report is
    // written: every run below it must write nothing at all, never a smaller count.
    void outOfMemory()
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
        for (const Case &c : {Case{"3", many, expectedJson({{"Total Size", "0 bytes"}, {"Folder Count ", "20000"}, {"File Count", "0"}})},
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
            if (c.target != huge || QStandardPaths::findExecutable("strace").isEmpty())
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

    // Guards against a failure said in the words of another, or in none: a digest library the
    // loader cannot load (empty, no library at all, on a noexec mount), one that lacks calls (the
    // test's stand-in of a few), or one whose configuration refuses the digests (the base provider
    // alone, FIPS properties without the FIPS provider) is said in the loader's or the library's
    // words, never as out of memory, and leaves the earlier result; the walk, which needs no
    // digest library, still works.
    void digestLibraryNotLoadable_data()
    {
        QTest::addColumn<QByteArray>("library"); // the library's bytes, or "system" for the installed one
        QTest::addColumn<QByteArray>("conf");    // an OpenSSL configuration, or none
        QTest::addColumn<bool>("noexec");        // the library's folder a noexec mount
        QTest::addColumn<QByteArray>("said");
        const QByteArray base = "openssl_conf = init\n[init]\nproviders = providers\n[providers]\nbase = base\n[base]\nactivate = 1\n";
        const QByteArray fips = "openssl_conf = init\n[init]\nalg_section = algorithms\n[algorithms]\ndefault_properties = fips=yes\n";
        QTest::newRow("empty") << QByteArray() << QByteArray() << false << QByteArray("cannot load the digest library: ");
        QTest::newRow("no library") << QByteArray(4096, 'x') << QByteArray() << false << QByteArray("cannot load the digest library: ");
        QTest::newRow("noexec") << QByteArray("system") << QByteArray() << true << QByteArray("failed to map segment from shared object");
        QTest::newRow("calls missing") << readFile(DIGEST_FAULT_LIBRARY) << QByteArray() << false << QByteArray("missing EVP_MD_CTX_free, EVP_DigestInit_ex, EVP_md5, EVP_sha1");
        QTest::newRow("base provider") << QByteArray("system") << base << false << QByteArray("the digest library refuses MD5: error:");
        QTest::newRow("fips") << QByteArray("system") << fips << false << QByteArray("the digest library refuses MD5: error:");
    }
    void digestLibraryNotLoadable()
    {
        QFETCH(QByteArray, library);
        QFETCH(QByteArray, conf);
        QFETCH(bool, noexec);
        QFETCH(QByteArray, said);
        const QString libraries = dir.filePath("broken-libraries"), out = dir.filePath("broken-out");
        QProcess::execute("rm", {"-rf", libraries});
        QVERIFY(QDir().mkpath(libraries));
        QProcessEnvironment broken;
        broken.insert("LD_LIBRARY_PATH", libraries);
        if (!conf.isEmpty()) {
            QVERIFY(writeFile(libraries + "/openssl.cnf", conf));
            broken.insert("OPENSSL_CONF", libraries + "/openssl.cnf");
        }
        // The installed library, found as the loader finds it, copied where the row says.
        QString installed;
        for (const char *folder : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/i386-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib"})
            installed = installed.isEmpty() && QFileInfo::exists(folder + QString("/") + VURO_CRYPTO_LIBRARY) ? folder + QString("/") + VURO_CRYPTO_LIBRARY : installed;
        QStringList prefix;
        if (noexec) {
            // A mount of its own in a mount namespace: as root, or as a user where the system allows one.
            prefix = ::geteuid() == 0 ? QStringList{"unshare", "-m", "--"} : QStringList{"unshare", "-r", "-m", "--"};
            prefix += {"sh", "-c", "mount -t tmpfs -o noexec none \"$0\" && cp \"$1\" \"$0\"/ && shift && exec \"$@\"", libraries, installed};
        } else if (library != "system") {
            QVERIFY(writeFile(libraries + "/" + VURO_CRYPTO_LIBRARY, library));
        }
        QVERIFY(writeFile(out + ".json", "[\"earlier\"]"));
        const Run r = prefix.isEmpty() ? run({"0", abc, out}, Helper, QStringList(), broken)
                                       : run(prefix.mid(1) + QStringList{Helper, "0", abc, out}, prefix.first(), {}, broken);
        if (noexec && !r.out.contains("IT_MD5_SHA1"))
            QSKIP(qPrintable("cannot mount a noexec file system in a mount namespace here: " + r.err.trimmed()));
        QVERIFY2(r.exitCode == 0 && r.err.contains(said) && r.err.contains(": no result written") && !r.err.contains("out of memory"), r.err.constData());
        QCOMPARE(readFile(out + ".json"), QByteArray("[\"earlier\"]"));
        run({"3", libraries, out}, Helper, QStringList(), broken);
        const QByteArray files = QByteArray::number(QDir(libraries).entryList(QDir::Files).size());
        QVERIFY2(readFile(out + ".json").endsWith("\"Folder Count \": \"0\"\n    },\n    {\n        \"File Count\": \"" + files + "\"\n    }\n]\n"), readFile(out + ".json").constData());
    }

    // Guards against arguments changed on their way in: names that are no UTF-8 (which Linux
    // allows) read as other names, and arguments the framework takes for its own.
    void argumentsAsGiven()
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
                 expectedJson({{"Total Size", "3 bytes"}, {"Folder Count ", "0"}, {"File Count", "1"}}));

        // No argument is the framework's: this one is a target that does not exist.
        QVERIFY(writeFile(dir.filePath("victim"), "abc"));
        r = run({"2", "-qmljsdebugger=port:1", dir.filePath("victim")});
        QCOMPARE(r.out, echoLine(Helper, {"2", "-qmljsdebugger=port:1", dir.filePath("victim")}) + "IT_MD5_SHA1\n");
        QVERIFY(!QFileInfo::exists(dir.filePath("victim.json")));
    }

    // Guards against root writing through a link that another user planted in a sticky,
    // world-writable folder: a symbolic link the kernel refuses to follow (fs.protected_symlinks),
    // and a hard link to root's own file where the kernel lets anyone make one.
    void plantedLinksAreNotFollowed()
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

    // Guards against a result whose path is near the system's 4,096-byte limit getting no report,
    // or being written in place: the writer works from the folder, by short names.
    void resultPathNearTheLimit()
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

    // Guards against a closed start folder's result depending on what was there before: the
    // folder is never the result file, so its unknown identity blocks nothing.
    void closedStartFolder()
    {
        if (!unprivilegedSkip.isEmpty())
            QSKIP(qPrintable(unprivilegedSkip));
        const QString closed = work + "/closed-start";
        QVERIFY(QDir().mkpath(closed));
        QVERIFY(writeFile(closed + "/x", "hidden"));
        QFile::setPermissions(closed, QFileDevice::Permissions());
        const QString out = work + "/closed-out";
        const QByteArray empty = expectedJson({{"Total Size", "0 bytes"}, {"Folder Count ", "0"}, {"File Count", "0"}});
        QFile::remove(out + ".json");
        runUnprivileged({"3", closed, out});
        const QByteArray fresh = readFile(out + ".json");
        QVERIFY(writeFile(out + ".json", "another folder's stats"));
        QFile::setPermissions(out + ".json", QFileDevice::Permissions(0x6666));
        runUnprivileged({"3", closed, out});
        const QByteArray over = readFile(out + ".json");
        QFile::setPermissions(closed, QFileDevice::Permissions(0x7777));
        QCOMPARE(fresh, empty);
        QCOMPARE(over, empty);
    }

    // Guards against a folder that cannot be listed or sized stopping the walk or being invented.
    void unreadableFolders()
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
        QFile::setPermissions(locked + "/closed", QFileDevice::Permissions());       // not listable
        QFile::setPermissions(locked + "/blind", QFileDevice::Permissions(0x4444)); // listable, not searchable
        const QString out = work + "/locked-out";
        QFile::remove(out + ".json");
        const Run r = runUnprivileged({"3", locked, out});
        QFile::setPermissions(locked + "/closed", QFileDevice::Permissions(0x7777));
        QFile::setPermissions(locked + "/blind", QFileDevice::Permissions(0x7777));
        QCOMPARE(r.exitCode, 0);
        // "closed" counts as a folder with nothing in it; so do "blind" and "deeper", which its
        // listing names although neither can be looked into; "y" cannot be sized and is logged.
        QCOMPARE(readFile(out + ".json"),
                 expectedJson({{"Total Size", "1.00 KB"}, {"Folder Count ", "3"}, {"File Count", "1"}}));
        QCOMPARE(r.err.count("Permission denied"), 1);
    }
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "e2e_test.moc"
