#include "e2e/e2e.h"

// The end-to-end cases of the suite's start and end: a scratch folder, and the helper copied
// where an unprivileged user can run it.

// Names that are not valid UTF-8 and read-only folders defeat the framework's own removal.
void EndToEndTest::cleanupTestCase()
{
    QProcess::execute("rm", {"-rf", dir.path()});
    if (!shared.isEmpty())
        QProcess::execute("rm", {"-rf", shared});
}

void EndToEndTest::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QVERIFY(dir.isValid());
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
    abc = dir.filePath("abc.bin");
    QVERIFY(writeFile(abc, "abc"));
    unprivilegedSkip = prepareUnprivilegedRuns();
}

QTEST_GUILESS_MAIN(EndToEndTest)
