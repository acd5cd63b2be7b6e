#include "testutil.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <zstd.h>

#include <csignal>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList treeOf(const QString &root)
{
    const QDir dir(QFileInfo(root).absoluteFilePath());
    QStringList entries;
    QDirIterator it(dir.path(),
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(dir.relativeFilePath(it.next()));
    entries.sort();
    return entries;
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray bodyOf(int size, char seed)
{
    QByteArray body(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        body[i] = char(seed + i * 7);
    return body;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

QByteArray zstdPatch(const QByteArray &base, const QByteArray &target)
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 27);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_refPrefix(context, base.constData(), size_t(base.size()));
    QByteArray patch(qsizetype(ZSTD_compressBound(size_t(target.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(
        context, patch.data(), size_t(patch.size()), target.constData(), size_t(target.size()));
    ZSTD_freeCCtx(context);
    patch.resize(ZSTD_isError(size) ? 0 : qsizetype(size));
    return patch;
}

QByteArray polishWindows1250(const QString &text)
{
    static const QString letters = QStringLiteral("ąćęłńóśźżĄĆĘŁŃÓŚŹŻ");
    static const char bytes[]
        = "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF";
    QByteArray encoded;
    for (const QChar c : text) {
        const qsizetype letter = letters.indexOf(c);
        encoded += c.unicode() < 0x80 ? char(c.unicode()) : letter >= 0 ? bytes[letter] : '?';
    }
    return encoded;
}

quint32 localMidnight(int year, int month, int day)
{
    return quint32(
        QDateTime(QDate(year, month, day), QTime(0, 0), Qt::LocalTime).toSecsSinceEpoch());
}

QStringList addFileNameRows()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QFile table(QStringLiteral(":/filenames.tsv"));
    if (!table.open(QIODevice::ReadOnly))
        qFatal("The table of file names is not built into this test");
    static const QRegularExpression escape(QStringLiteral("\\\\u\\{([0-9A-F]+)\\}"));
    const QStringList lines = QString::fromUtf8(table.readAll()).split(QLatin1Char('\n'));
    QStringList names;
    for (const QString &line : lines) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QString verdict = line.section(QLatin1Char('\t'), 0, 0);
        const QString written = line.section(QLatin1Char('\t'), 1);
        if (verdict != QLatin1String("ok") && verdict != QLatin1String("refused"))
            qFatal("filenames.tsv: no verdict in \"%s\"", qPrintable(line));
        QString name;
        qsizetype done = 0;
        for (const QRegularExpressionMatch &match : escape.globalMatch(written)) {
            const char32_t character = match.capturedView(1).toUInt(nullptr, 16);
            name += written.mid(done, match.capturedStart() - done)
                + QString::fromUcs4(&character, 1);
            done = match.capturedEnd();
        }
        name += written.mid(done);
        QTest::newRow(qPrintable(written)) << name << (verdict == QLatin1String("ok"));
        names.append(name);
    }
    return names;
}

TemporaryWorkingDirectory::TemporaryWorkingDirectory()
    : previous(QDir::currentPath())
{
    entered = dir.isValid() && QDir::setCurrent(dir.path());
}

TemporaryWorkingDirectory::~TemporaryWorkingDirectory()
{
    QDir::setCurrent(previous);
}

bool TemporaryWorkingDirectory::enterRemovedDirectory(const QString &name)
{
    const QString gone = dir.filePath(name);
    return QDir().mkdir(gone) && QDir::setCurrent(gone) && QDir().rmdir(gone);
}

#ifdef Q_OS_WIN
FileSizeLimit::FileSizeLimit(qint64)
{
    qFatal("%s", noFileSizeLimitReason);
}

FileSizeLimit::~FileSizeLimit() = default;
#else
FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    getrlimit(RLIMIT_FSIZE, &saved);
    previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = rlim_t(bytes);
    setrlimit(RLIMIT_FSIZE, &limited);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
}
#endif

ProgramRun runProgram(const QString &program, const QStringList &arguments, int waitMs)
{
    QProcess process;
    process.start(program, arguments);
    ProgramRun result;
    result.finished
        = process.waitForFinished(waitMs) && process.exitStatus() == QProcess::NormalExit;
    result.exitCode = result.finished ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}
