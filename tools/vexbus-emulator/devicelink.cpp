// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "devicelink.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

DeviceLink::~DeviceLink()
{
    remove();
}

static QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool DeviceLink::create(const QString &linkPath, const QString &targetPath)
{
    remove();
    const QByteArray link = QFile::encodeName(linkPath);
    const QByteArray target = QFile::encodeName(targetPath);

    struct stat status;
    if (::lstat(link.constData(), &status) == 0) {
        if (!S_ISLNK(status.st_mode)) {
            m_errorString = QStringLiteral("%1 exists and is not a symbolic link; not replacing it").arg(linkPath);
            return false;
        }
    } else if (errno != ENOENT) {
        m_errorString = QStringLiteral("cannot examine %1: %2").arg(linkPath, systemError());
        return false;
    }

    // A new link under a temporary name renamed over the old one: the name
    // never points nowhere, and rename() replaces the link, not its target.
    const QByteArray temporary = link + ".tmp-" + QByteArray::number(qint64(::getpid()));
    ::unlink(temporary.constData());
    if (::symlink(target.constData(), temporary.constData()) != 0) {
        m_errorString = QStringLiteral("cannot create %1: %2").arg(linkPath, systemError());
        return false;
    }
    if (::rename(temporary.constData(), link.constData()) != 0) {
        m_errorString = QStringLiteral("cannot create %1: %2").arg(linkPath, systemError());
        ::unlink(temporary.constData());
        return false;
    }
    m_linkPath = linkPath;
    m_targetPath = targetPath;
    return true;
}

void DeviceLink::remove()
{
    if (m_linkPath.isEmpty())
        return;
    // Only a link that is still ours goes: another emulator may have taken
    // the name over since.
    const QByteArray link = QFile::encodeName(m_linkPath);
    char target[4096];
    const ssize_t size = ::readlink(link.constData(), target, sizeof(target));
    if (size > 0 && QByteArray(target, int(size)) == QFile::encodeName(m_targetPath))
        ::unlink(link.constData());
    m_linkPath.clear();
    m_targetPath.clear();
}
