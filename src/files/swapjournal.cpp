#include "swapjournal.h"

#include "renaming.h"
#include "stagingname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const QByteArray header("aktualizator-swap 1");
const QByteArray swapping("swapping");
const QByteArray done("done");
// A journal names the updater's few dozen files; anything near this size is no journal.
constexpr qint64 maxJournalBytes = 1024 * 1024;

QString lastSegment(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

bool isValidEntry(const SwapJournal::Entry &entry)
{
    const QString name = lastSegment(entry.path);
    return isPlainRelativePath(entry.path) && isStagingNameOf(entry.stagingName, name)
        && (entry.setAsideName.isEmpty()
            || (updaterNameKind(entry.setAsideName) == UpdaterName::SetAside
                && updaterNameTarget(entry.setAsideName) == name));
}

} // namespace

bool isPlainRelativePath(QStringView path)
{
    if (path.isEmpty())
        return false;
    for (const QStringView segment : path.split(QLatin1Char('/'))) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..")
            || segment.contains(QLatin1Char('\\')) || segment.contains(QLatin1Char(':')))
            return false;
    }
    return true;
}

QString SwapJournal::fileName()
{
    return QStringLiteral("aktualizator-swap.journal");
}

bool SwapJournal::isPresent(const QString &folder)
{
    const QFileInfo info(QDir(folder).filePath(fileName()));
    return info.exists() || info.isSymLink();
}

SwapJournal::Read SwapJournal::read(const QString &folder, SwapJournal *journal)
{
    QFile file(QDir(folder).filePath(fileName()));
    if (!isPresent(folder))
        return Read::Absent;
    if (!file.open(QIODevice::ReadOnly))
        return Read::Unreadable;
    const QByteArray bytes = file.read(maxJournalBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return Read::Unreadable;
    QList<QByteArray> lines = bytes.split('\n');
    // Whole lines only, the last one ended: a journal is never written in pieces.
    if (bytes.size() > maxJournalBytes || lines.size() < 4 || !lines.constLast().isEmpty()
        || lines.at(0) != header || (lines.at(1) != swapping && lines.at(1) != done))
        return Read::Malformed;
    SwapJournal result;
    result.state = lines.at(1) == done ? State::Done : State::Swapping;
    lines.removeLast();
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split('\t');
        if (fields.size() != 3)
            return Read::Malformed;
        const Entry entry {QString::fromUtf8(fields.at(0)), QString::fromUtf8(fields.at(1)),
            QString::fromUtf8(fields.at(2))};
        if (!isValidEntry(entry))
            return Read::Malformed;
        result.entries.append(entry);
    }
    *journal = result;
    return Read::Read;
}

bool SwapJournal::write(const QString &folder) const
{
    QByteArray bytes = header + '\n' + (state == State::Done ? done : swapping) + '\n';
    for (const Entry &entry : entries) {
        bytes += entry.path.toUtf8() + '\t' + entry.stagingName.toUtf8() + '\t'
            + entry.setAsideName.toUtf8() + '\n';
    }
    // A new file that replaces the one before with one rename, after its bytes are on the disk.
    QSaveFile file(QDir(folder).filePath(fileName()));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()
        && flushFolderToDisk(folder);
}

bool SwapJournal::remove(const QString &folder)
{
    const QString path = QDir(folder).filePath(fileName());
    return (QFile::remove(path) || !isPresent(folder)) && flushFolderToDisk(folder);
}

QString SwapJournal::folderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

QString SwapJournal::namePath(const Entry &entry, const QString &name)
{
    const QString folder = folderOf(entry.path);
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}
