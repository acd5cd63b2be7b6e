#pragma once

#include "transfer/fileintegrity.h"
#include "updateentry.h"
#include "windows1250.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// Lines longer than this are not list lines; no real one comes near it.
inline constexpr qsizetype maxUpdateListLineLength = 8192;
// No real list names this many components, and every one costs the window tens of kilobytes:
// a list within the byte cap could still hold hundreds of thousands of short lines.
inline constexpr qsizetype maxUpdateListEntries = 10000;

struct UpdateListLine
{
    QString name;
    UpdateEntry entry;
};

// What the greedy, anchored "<(.*)><ver>(.*)</ver>(.*)<link>(.*)</link></.*>" captures of a
// line, as views into it. The middle text (between "</ver>" and "<link>") holds the optional
// integrity elements.
struct UpdateListLineParts
{
    QStringView name;
    QStringView version;
    QStringView middle;
    QStringView link;
};

// Takes time linear in the line's length, whatever the line holds; nullopt when the line does
// not fit the grammar.
std::optional<UpdateListLineParts> matchUpdateListLine(QStringView line);

// "<NAME><ver>VERSION</ver>...<link>URL</link></...>": nullopt for anything else.
std::optional<UpdateListLine> parseUpdateListLine(QStringView line);

// The list file is Windows-1250 text read as text mode reads it on Windows: every CR is
// dropped, wherever it stands, and LF ends a line. A last line without a line end still counts.
QStringList updateListLines(const QByteArray &bytes);

// All entries of a list file, by name; of several lines with one name the last one stands.
// nullopt as soon as more than `maxEntries` names have appeared, so that a huge list never
// takes more memory than an accepted one.
std::optional<QMap<QString, UpdateEntry>> parseUpdateList(
    const QByteArray &bytes, qsizetype maxEntries = maxUpdateListEntries);

// The line's size and checksum texts as the checks its file must pass.
FileIntegrity fileIntegrity(
    const std::optional<QString> &sizeText, const std::optional<QString> &sha256Text);

// The well-formed "<patch from=\"F\" sha256=\"P\" size=\"N\">URL</patch>" elements of a line's
// middle text. A malformed one is skipped: a patch can only make an update smaller, so a
// mistake in one must not decide anything.
QList<PatchOffer> parsePatchOffers(QStringView middle);

// Integrity elements: exactly 64 hex digits, and a decimal byte count.
bool isValidSha256Text(const QString &text);
std::optional<qint64> parseSizeText(const QString &text);
