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
bool piecesInOrder(QStringView line)
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

std::optional<QString> elementText(QStringView text, QLatin1String open, QLatin1String close)
{
    const qsizetype start = text.indexOf(open);
    if (start < 0)
        return std::nullopt;
    const qsizetype valueStart = start + open.size();
    const qsizetype end = text.indexOf(close, valueStart);
    // An opened but unclosed element is still present; its value is checked like any other.
    if (end < 0)
        return text.mid(valueStart).toString();
    return text.mid(valueStart, end - valueStart).toString();
}

} // namespace

std::optional<UpdateListLine> parseUpdateListLine(QStringView line)
{
    if (line.size() > maxUpdateListLineLength || !piecesInOrder(line))
        return std::nullopt;
    const QRegularExpressionMatch match = lineGrammar().match(line);
    if (!match.hasMatch())
        return std::nullopt;

    UpdateListLine result;
    result.name = match.capturedView(1).toString();
    result.entry.version = parseVersion(result.name, match.capturedView(2).toString());
    result.entry.link = match.capturedView(4).toString();
    result.entry.selected = true;
    // Most lists carry no integrity elements; skip the searches when there is no middle text.
    const QStringView middle = match.capturedView(3);
    if (!middle.isEmpty()) {
        result.entry.sha256 = elementText(middle, QLatin1String("<sha256>"), QLatin1String("</sha256>"));
        result.entry.size = elementText(middle, QLatin1String("<size>"), QLatin1String("</size>"));
    }
    return result;
}

QString decodeWindows1250(const QByteArray &bytes)
{
    // Windows-1250 maps every byte to one UTF-16 unit, so a table made once from Qt's decoder
    // decodes exactly as the decoder does, many times faster on long lists.
    static const QString table = [] {
        QByteArray all(256, Qt::Uninitialized);
        for (int i = 0; i < 256; ++i)
            all[i] = char(i);
        QStringDecoder decoder("windows-1250");
        if (!decoder.isValid())
            decoder = QStringDecoder(QStringDecoder::Latin1);
        return QString(decoder.decode(all));
    }();
    if (table.size() != 256) {
        QStringDecoder decoder("windows-1250");
        return decoder.decode(bytes);
    }
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char byte : bytes)
        *out++ = table.at(uchar(byte));
    return text;
}

namespace {

// Calls `handle` with every line of the decoded list, without its LF or CR LF.
template<typename Handle>
void forEachLine(QStringView text, Handle handle)
{
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = text.size();
        QStringView line = text.mid(start, end - start);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        handle(line);
        start = end + 1;
    }
}

} // namespace

QStringList updateListLines(const QByteArray &bytes)
{
    QStringList lines;
    forEachLine(decodeWindows1250(bytes), [&lines](QStringView line) { lines.append(line.toString()); });
    return lines;
}

QMap<QString, UpdateEntry> parseUpdateList(const QByteArray &bytes)
{
    QMap<QString, UpdateEntry> entries;
    forEachLine(decodeWindows1250(bytes), [&entries](QStringView line) {
        if (std::optional<UpdateListLine> parsed = parseUpdateListLine(line))
            entries.insert(parsed->name, std::move(parsed->entry));
    });
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
