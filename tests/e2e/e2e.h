#pragma once

// The end-to-end tests' shared fixture: the built helper started as the viewer starts it, its
// standard output, exit code and result file checked byte for byte. The cases are cut by what they
// are about, one file each (e2e/*.cpp); this header declares them all, for one program.

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

// A folder report as the viewer expects it.
inline QByteArray folderJson(const QString &size, int folders, int files)
{
    return expectedJson({{"Total Size", size}, {"Folder Count ", QString::number(folders)}, {"File Count", QString::number(files)}});
}

inline QByteArray echoLine(const QString &program, const QStringList &arguments)
{
    return (QStringList(program) + arguments).join("      ").toUtf8() + "\n";
}

// The bytes of the file at path, given as bytes; "<missing>" when it cannot be read.
inline QByteArray readBytesFile(const QByteArray &path)
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

inline bool writeBytesFile(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool done = fd >= 0 && ::write(fd, content.constData(), size_t(content.size())) == content.size();
    if (fd >= 0)
        ::close(fd);
    return done;
}

// A shell word that prints the bytes exactly, whatever they are.
inline QString shellBytes(const QByteArray &bytes)
{
    QString format;
    for (unsigned char byte : bytes)
        format += QString("\\%1").arg(byte, 3, 8, QChar('0'));
    return "\"$(printf '" + format + "')\"";
}

// Waits until a child of the process pid (the helper, started by strace) holds the folder at path
// open, as it does from the moment it lists it; false when it did not within timeoutMs.
inline bool waitUntilHeldOpen(qint64 pid, const QByteArray &path, int timeoutMs)
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

class EndToEndTest : public QObject {
    Q_OBJECT

private:
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

    // The prefix that runs a program under strace, its own output dropped, with options (what it
    // traces, the faults it injects); whether strace is there to run.
    static QStringList underStrace(const QStringList &options) { return QStringList{"strace", "-f", "-qq", "-o", "/dev/null"} + options; }
    static bool hasStrace() { return !QStandardPaths::findExecutable("strace").isEmpty(); }

    // The prefix that runs a program as the unprivileged user where the test runs as root; none else.
    static QStringList asUnprivileged()
    {
        return ::geteuid() == 0 ? QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"} : QStringList();
    }

    // Runs the helper as an unprivileged user, because root reads everything.
    Run runUnprivileged(const QStringList &arguments)
    {
        return ::geteuid() != 0 ? run(arguments) : run(arguments, unprivilegedHelper, asUnprivileged());
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
    // e2e/fixture.cpp
    void cleanupTestCase();
    void initTestCase();
    // e2e/process.cpp
    void commandLineAndModes();
    void closedOutput();
    void spacesAndNonAscii();
    void argumentsAsGiven();
    void restartViewer_data();
    void restartViewer();
    void terminationSignalsCleanUp();
    void smallStack();
    void outOfMemory();
    // e2e/digests.cpp
    void digestModes();
    void callsAsTheWorkNeeds();
    void digestTargetsThatAreNoFile();
    void filesThatMisstateThemselves();
    void unreadableFile();
    void digestLibraryNotLoadable_data();
    void digestLibraryNotLoadable();
    // e2e/folders.cpp
    void folderStats();
    void kernelPathOfAnotherNamespace();
    void linkSwappedInForAFolder();
    void startFolderAnchoredByItsHandle();
    void volumeGoneMidWalk();
    void ancestorSwappedMidWalk();
    void deepAndWideTreeUnderLowFileLimit_data();
    void deepAndWideTreeUnderLowFileLimit();
    void closedStartFolder();
    void unreadableFolders();
    void plantedLinksAreNotFollowed();
    // e2e/results.cpp
    void targetIsNeverOverwritten();
    void resultLinksAsTheSystemFollowsThem();
    void resultNameAtTheLengthLimit();
    void unnamedFileNamedThroughProc();
    void killedRunsLeaveNothing();
    void concurrentInPlaceWriters();
    void fileSizeLimit();
    void replacementWithoutProcAndFlags();
    void resultPathNearTheLimit();
};
