#include "system/single_instance.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <sys/file.h>

namespace lumenpost {

bool TSingleInstance::Check(const QString& directory, const QString& executablePath) {
    lockFile_.setFileName(directory + u'/' + QFileInfo(executablePath).fileName() +
                          QStringLiteral(".lock"));
    if (!lockFile_.open(QIODevice::ReadWrite)) {
        error_ = QStringLiteral("cannot open the lock file %1 (%2); check that the folder "
                                "exists and is writable")
                     .arg(lockFile_.fileName(), lockFile_.errorString());
        return false;
    }
    if (flock(lockFile_.handle(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        heldElsewhere_ = err == EWOULDBLOCK;
        error_ = heldElsewhere_
                     ? QStringLiteral("another copy is already running (it holds %1); this "
                                      "copy ends")
                           .arg(lockFile_.fileName())
                     : QStringLiteral("cannot lock %1 (%2)")
                           .arg(lockFile_.fileName(), QString::fromLocal8Bit(std::strerror(err)));
        lockFile_.close();
        return false;
    }
    return true;
}

QString RuntimeDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) {
        return runtime;
    }
    return QDir::tempPath();
}

} // namespace lumenpost
