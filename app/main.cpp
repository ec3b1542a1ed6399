#include "digest/digest.h"
#include "folderstats/folderstats.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>
#include <QThread>
#include <QtGlobal>

#include <iostream>
#include <new>

namespace {

enum Mode {
    ModeMd5 = 0,
    ModeSha1 = 1,
    ModeMd5Sha1 = 2,
    ModeFolderStats = 3,
    ModeRestartViewer = 4,
};

const int NoModeExitCode = -1;

void printLine(const QString &text)
{
    std::cout << text.toStdString() << std::endl;
}

// The viewer is found the way the platform finds a bare program name; 1 when it started. Its
// standard streams go to the null device: inheriting the helper's would keep a caller that reads
// the helper's output to its end waiting until the viewer exits.
int restartViewer()
{
    QThread::sleep(2);
    QProcess viewer;
    viewer.setProgram(QStringLiteral("Vuro.exe"));
    viewer.setStandardInputFile(QProcess::nullDevice());
    viewer.setStandardOutputFile(QProcess::nullDevice());
    viewer.setStandardErrorFile(QProcess::nullDevice());
    return viewer.startDetached() ? 1 : 0;
}

// Runs one mode and returns the exit code; numbers outside 0 to 4 do nothing.
int runMode(int mode)
{
    switch (mode) {
    case ModeMd5:
    case ModeSha1:
    case ModeMd5Sha1:
        printLine(QStringLiteral("IT_MD5_SHA1"));
        runDigestMode(mode);
        return 0;
    case ModeFolderStats:
        printLine(QStringLiteral("IT_Dir_Size"));
        runFolderStatsMode();
        return 0;
    case ModeRestartViewer:
        return restartViewer();
    default:
        return 0;
    }
}

// Runs the mode; out of memory, it writes no report at all: a walk cut short or a digest not
// computed must never pass for a result. The stack is unwound by then, so the message can be sent.
int runModeOrNothing(int mode)
{
    try {
        return runMode(mode);
    } catch (const std::bad_alloc &) {
        try {
            qDebug("out of memory: no result written");
        } catch (...) {
        }
        return 0;
    }
}

// The echo comes before any check: it is the caller's trace of what the helper was asked.
int runEntry(const QStringList &arguments)
{
    printLine(arguments.join(QStringLiteral("      ")));
    if (arguments.size() < 2)
        return NoModeExitCode;
    // Text that is not a number reads as 0, so it runs the MD5 mode.
    return runModeOrNothing(arguments.at(1).toInt());
}

} // namespace

int main(int argc, char *argv[])
{
    // The output is a trace: a reader that went away must not stop the report or the restart.
    ignoreBrokenPipes();
    QCoreApplication application(argc, argv);
    return runEntry(QCoreApplication::arguments());
}
