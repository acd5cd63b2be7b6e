#include "updatelistformat.h"

#include "app/version.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace {

const QRegularExpression &lineGrammar()
{
    // Greedy and anchored at both ends (\z: not even a final line feed may follow). The match
    // limit keeps a hostile line from backtracking for seconds; such a line simply does not
    // match. The middle text is captured only to look for the optional integrity elements;
    // capturing it does not change what matches.
    static const QRegularExpression grammar(
            QStringLiteral("(*LIMIT_MATCH=100000)\\A<(.*)><ver>(.*)</ver>(.*)<link>(.*)</link></.*>\\z"));
    return grammar;
}

// Cheap necessary condition: the literal pieces must occur in order, each as late as the
// greedy match would take it. Lines that fail it never reach the backtracking matcher.
bool piecesInOrder(const QString &line)
{
    // The shortest possible line: "<><ver></ver><link></link></>".
    if (line.size() < 29 || !line.startsWith(QLatin1Char('<')) || !line.endsWith(QLatin1Char('>')))
        return false;
    // Each piece must start at or before `last`; a negative bound would make lastIndexOf count
    // from the end, so it means "nowhere".
    const auto find = [&line](QLatin1String piece, qsizetype last) -> qsizetype {
        return last < 0 ? -1 : line.lastIndexOf(piece, last);
    };
    const qsizetype linkClose = find(QLatin1String("</link></"), line.size() - 10);
    const qsizetype linkOpen = linkClose < 0 ? -1 : find(QLatin1String("<link>"), linkClose - 6);
    const qsizetype verClose = linkOpen < 0 ? -1 : find(QLatin1String("</ver>"), linkOpen - 6);
    return verClose >= 0 && find(QLatin1String("><ver>"), verClose - 6) >= 1;
}

std::optional<QString> elementText(const QString &text, const QString &tag)
{
    const QString open = QLatin1Char('<') + tag + QLatin1Char('>');
    const QString close = QStringLiteral("</") + tag + QLatin1Char('>');
    const qsizetype start = text.indexOf(open);
    if (start < 0)
        return std::nullopt;
    const qsizetype valueStart = start + open.size();
    const qsizetype end = text.indexOf(close, valueStart);
    // An opened but unclosed element is still present; its value is checked like any other.
    if (end < 0)
        return text.mid(valueStart);
    return text.mid(valueStart, end - valueStart);
}

} // namespace

std::optional<UpdateListLine> parseUpdateListLine(const QString &line)
{
    if (line.size() > maxUpdateListLineLength || !piecesInOrder(line))
        return std::nullopt;
    const QRegularExpressionMatch match = lineGrammar().match(line);
    if (!match.hasMatch())
        return std::nullopt;

    UpdateListLine result;
    result.name = match.captured(1);
    result.entry.version = parseVersion(result.name, match.captured(2));
    result.entry.link = match.captured(4);
    result.entry.selected = true;
    const QString middle = match.captured(3);
    result.entry.sha256 = elementText(middle, QStringLiteral("sha256"));
    result.entry.size = elementText(middle, QStringLiteral("size"));
    return result;
}

QStringList updateListLines(const QByteArray &bytes)
{
    QStringDecoder decoder("windows-1250");
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Latin1);
    const QString text = decoder.decode(bytes);

    QStringList lines = text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    return lines;
}

QMap<QString, UpdateEntry> parseUpdateList(const QByteArray &bytes)
{
    QMap<QString, UpdateEntry> entries;
    const QStringList lines = updateListLines(bytes);
    for (const QString &line : lines) {
        if (std::optional<UpdateListLine> parsed = parseUpdateListLine(line))
            entries.insert(parsed->name, parsed->entry);
    }
    return entries;
}

bool isValidSha256Text(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    return hex.match(text).hasMatch();
}

std::optional<qint64> parseSizeText(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    return text.toLongLong();
}
