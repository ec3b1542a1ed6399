#pragma once

// Machine-wide settings a test changes, put back on every path out of it.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sys/file.h>

// A kernel setting (a file of /proc/sys) set for the life of the object and restored as it goes,
// however the test leaves (a failed check returns at once). The setting's file is held under an
// exclusive lock meanwhile, so that two runs of the suite on one machine never meet there.
class ScopedKernelSetting {
public:
    ScopedKernelSetting(const QString &path, const QByteArray &value) : file_(path)
    {
        if (!file_.open(QIODevice::ReadWrite) || ::flock(file_.handle(), LOCK_EX) != 0)
            return;
        before_ = file_.readAll().trimmed();
        file_.seek(0);
        set_ = file_.write(value + "\n") > 0 && file_.flush();
    }
    ScopedKernelSetting(const ScopedKernelSetting &) = delete;
    ScopedKernelSetting &operator=(const ScopedKernelSetting &) = delete;
    ~ScopedKernelSetting()
    {
        if (set_) {
            file_.seek(0);
            file_.write(before_ + "\n");
            file_.flush();
        }
    }
    // True when the setting holds the value asked for.
    bool isSet() const { return set_; }

private:
    QFile file_;
    QByteArray before_;
    bool set_ = false;
};
