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

// A file's or folder's permissions set for the life of the object and opened up again as it goes
// (read, write and search for all, unless after says otherwise), however the test leaves: a folder
// left closed would keep its tree from being removed, and the next run from starting clean.
class ScopedPermissions {
public:
    ScopedPermissions(const QString &path, QFileDevice::Permissions set, QFileDevice::Permissions after = QFileDevice::Permissions(0x7777))
        : path_(path), after_(after), set_(QFile::setPermissions(path, set))
    {
    }
    ScopedPermissions(const ScopedPermissions &) = delete;
    ScopedPermissions &operator=(const ScopedPermissions &) = delete;
    ~ScopedPermissions() { QFile::setPermissions(path_, after_); }
    bool isSet() const { return set_; }

private:
    const QString path_;
    const QFileDevice::Permissions after_;
    const bool set_;
};
