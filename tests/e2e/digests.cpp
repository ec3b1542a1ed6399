#include "e2e/e2e.h"

// The end-to-end cases of the digest modes: published vectors, reference tools, files that are
// no file or misstate themselves, a library that cannot be loaded.

// Guards against wrong digests, keys, order or layout in the result file.
void EndToEndTest::digestModes()
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
    if (!QByteArray(HELPER_SANITIZER).isEmpty() || !hasStrace())
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
void EndToEndTest::callsAsTheWorkNeeds()
{
    if (!QByteArray(HELPER_SANITIZER).isEmpty() || !hasStrace())
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
    // is one of the threads counted), the cores as getconf counts those online.
    QProcess getconf;
    getconf.start("getconf", {"_NPROCESSORS_ONLN"});
    const int walkers = std::max(8, 2 * (getconf.waitForFinished(10000) ? getconf.readAllStandardOutput().trimmed().toInt() : 0));
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
        {{"3", tree + "/d0", out}, "", 1, 1, folderJson("15 bytes", 1, 5)},
        {{"3", tree, out}, "getdents64:delay_exit=2000", walkers, walkers,
         folderJson("150 bytes", 20, 50)},
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
void EndToEndTest::digestTargetsThatAreNoFile()
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
void EndToEndTest::filesThatMisstateThemselves()
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

// Guards against a report that claims a digest of a file the helper could not read.
void EndToEndTest::unreadableFile()
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

// Guards against a failure said in the words of another, or in none: a digest library the
// loader cannot load (empty, no library at all, on a noexec mount), one that lacks calls (the
// test's stand-in of a few), or one whose configuration refuses the digests (the base provider
// alone, FIPS properties without the FIPS provider) is said in the loader's or the library's
// words, never as out of memory, and leaves the earlier result; the walk, which needs no
// digest library, still works.
void EndToEndTest::digestLibraryNotLoadable_data()
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

void EndToEndTest::digestLibraryNotLoadable()
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
