#include "updatelistformat.h"

#include "app/version.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace {

const QRegularExpression &lineGrammar()
{
    // The middle text is captured only to look for the optional integrity elements; capturing
    // it does not change what matches.
    static const QRegularExpression grammar(
            QStringLiteral("^<(.*)><ver>(.*)</ver>(.*)<link>(.*)</link></.*>$"));
    return grammar;
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
    // An opened but unclosed element is still present: its value fails validation later.
    if (end < 0)
        return text.mid(valueStart);
    return text.mid(valueStart, end - valueStart);
}

} // namespace

std::optional<UpdateListLine> parseUpdateListLine(const QString &line)
{
    if (line.isEmpty() || line.size() > maxUpdateListLineLength)
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
