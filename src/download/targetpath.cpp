#include "targetpath.h"

#include "files/stagingname.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

bool isLink(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction())
        return true;
#ifdef Q_OS_WIN
    // Mount points and other reparse points redirect as well, whatever Qt calls them.
    const DWORD attributes
        = GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
#endif
    return false;
}

} // namespace

QString linkFileName(const QUrl &url)
{
    // Split first, then decode: an encoded "/" belongs to the name, and isSafeFileName refuses
    // it, rather than turning "x%2F..%2Fwelor.exe" into the main product.
    const QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    return QUrl::fromPercentEncoding(path.mid(path.lastIndexOf('/') + 1));
}

QString targetPath(const QString &installDirectory, const QString &fileName)
{
    return QStringLiteral("%1/%2").arg(installDirectory, relativeTargetPath(fileName));
}

bool isPlainTarget(const QString &installDirectory, const QString &fileName)
{
    const QString root = QFileInfo(installDirectory).canonicalFilePath();
    if (root.isEmpty())
        return false;
    const QString relative = relativeTargetPath(fileName);
    const bool inPlugins = relative != fileName;
    if (isLink(QDir(installDirectory).filePath(relative))
        || (inPlugins && isLink(QDir(installDirectory).filePath(QStringLiteral("plugins")))))
        return false;
    // The target itself may not exist yet, so its directory is what gets resolved.
    const QString directory = QFileInfo(QDir(installDirectory).filePath(relative)).absolutePath();
    const QString resolved = QFileInfo(directory).canonicalFilePath();
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    const QString expected = inPlugins ? root + QStringLiteral("/plugins") : root;
    return !resolved.isEmpty() && resolved.compare(expected, sensitivity) == 0;
}
