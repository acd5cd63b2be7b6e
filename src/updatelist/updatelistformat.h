#pragma once

#include "updateentry.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// Lines longer than this are not list lines; refusing them keeps a hostile or broken list from
// sending the matcher into minutes of backtracking.
inline constexpr qsizetype maxUpdateListLineLength = 8192;

struct UpdateListLine
{
    QString name;
    UpdateEntry entry;
};

// "<NAME><ver>VERSION</ver>...<link>URL</link></...>": nullopt for anything else.
std::optional<UpdateListLine> parseUpdateListLine(QStringView line);

QString decodeWindows1250(const QByteArray &bytes);

// The list file is Windows-1250 text; LF and CR LF both end a line, and a last line without
// a line end still counts.
QStringList updateListLines(const QByteArray &bytes);

// All entries of a list file, by name; of several lines with one name the last one stands.
QMap<QString, UpdateEntry> parseUpdateList(const QByteArray &bytes);

// Integrity elements: exactly 64 hex digits, and a decimal byte count.
bool isValidSha256Text(const QString &text);
std::optional<qint64> parseSizeText(const QString &text);
