#include "report/report.h"
#include "testtree.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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
        QVERIFY(writeJsonReport({{"MD5", "d41d8cd98f00b204e9800998ecf8427e"}}, pathBytes(path)));
        QCOMPARE(readFile(path),
                 QByteArray("[\n    {\n        \"MD5\": \"d41d8cd98f00b204e9800998ecf8427e\"\n    }\n]\n"));

        QVERIFY(!writeJsonReport({{"MD5", ""}}, pathBytes(dir.filePath("missing/r.json"))));
        QVERIFY(!QFile::exists(dir.filePath("missing")));
        QVERIFY(!writeJsonReport({{"MD5", ""}}, pathBytes(dir.path()))); // a folder: nothing

        // A FIFO would block the open until a reader came; it must be left alone at once.
        const QString fifo = dir.filePath("pipe.json");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!writeJsonReport({{"MD5", ""}}, pathBytes(fifo)));
        QVERIFY(QFileInfo(fifo).exists() && !QFileInfo(fifo).isFile());
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
        QVERIFY(writeJsonReport({{"MD5", ""}}, pathBytes(path)));
        QCOMPARE(readFile(path), earlier);
        QFile filler(dir.filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'f')) > 0) {
        }
        filler.close();
        QVERIFY(!writeJsonReport({{"MD5", "d41d8cd98f00b204e9800998ecf8427e"}, {"SHA1", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}}, pathBytes(path)));
        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
        const QByteArray after = readFile(path);
        ::umount(QFile::encodeName(dir.path()).constData());
        QCOMPARE(after, earlier);
        QCOMPARE(left, QStringList({"filler", "r.json"}));
    }
};

QTEST_GUILESS_MAIN(ReportTest)
#include "report_test.moc"
