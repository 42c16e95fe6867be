#include "HomeLock.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

THomeLock::~THomeLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

QString THomeLock::LockFile(const QString &home) {
    return QDir(home).filePath(QStringLiteral(".mms-server.lock"));
}

bool THomeLock::TryLock(const QString &home) {
    if (fd_ >= 0)
        return true;
    const QByteArray path = QFile::encodeName(LockFile(home));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}
