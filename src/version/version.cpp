#include "version.h"

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QStringList>
#include <QTime>

namespace {

// Strictly "ddMMyyyy": eight ASCII digits forming a real calendar date.
QDate parseBuildDate(const QString &text)
{
    if (text.size() != 8)
        return {};
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return {};
    }
    const int day = QStringView(text).mid(0, 2).toInt();
    const int month = QStringView(text).mid(2, 2).toInt();
    const int year = QStringView(text).mid(4, 4).toInt();
    return QDate(year, month, day);
}

} // namespace

quint32 parseVersion(const QString &name, const QString &text)
{
    if (name == QLatin1String(mainProductName)) {
        // "anything b ddMMyyyy [b anything]"; a text without "b" has no date either.
        const QStringList pieces = text.split(QLatin1Char('b'), Qt::KeepEmptyParts);
        if (pieces.size() < 2)
            return unreadableVersion;
        const QDate date = parseBuildDate(pieces.at(1));
        if (!date.isValid())
            return unreadableVersion;
        const qint64 seconds = QDateTime(date, QTime(0, 0), Qt::LocalTime).toSecsSinceEpoch();
        if (seconds < 0 || seconds >= qint64(unreadableVersion))
            return unreadableVersion;
        return quint32(seconds);
    }

    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    return ok ? quint32(value) : 0;
}

QString formatVersion(quint32 version)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(qint64(version), Qt::LocalTime);
    return QLocale::system().toString(local, QStringLiteral("dd/MMM/yy"));
}
