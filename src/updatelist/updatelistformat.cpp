#include "updatelistformat.h"

#include "version/version.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstring>

namespace {

// The grammar is greedy: each capture ends as late as the pieces after it still allow. So the
// literal pieces stand at their last occurrences, found right to left, each one ending before
// the next one starts. Nothing is ever tried twice, and the captures are exactly the
// backtracking matcher's.
std::optional<UpdateListLineParts> locatePieces(QStringView line)
{
    // The shortest possible line: "<><ver></ver><link></link></>".
    if (line.size() < 29 || !line.startsWith(QLatin1Char('<')) || !line.endsWith(QLatin1Char('>')))
        return std::nullopt;
    // The last occurrence of the piece that starts at or before `last`, or -1. A plain loop:
    // the pieces are short and mostly close to where the search starts.
    const auto find = [&line](QLatin1String piece, qsizetype last) -> qsizetype {
        const char16_t *const text = line.utf16();
        const char *const pieceText = piece.data();
        const qsizetype pieceSize = piece.size();
        for (qsizetype at = std::min(last, line.size() - pieceSize); at >= 0; --at) {
            qsizetype matched = 0;
            while (matched < pieceSize && text[at + matched] == char16_t(uchar(pieceText[matched])))
                ++matched;
            if (matched == pieceSize)
                return at;
        }
        return -1;
    };
    // "</link></" needs at least the final ">" after it.
    const qsizetype linkClose = find(QLatin1String("</link></"), line.size() - 10);
    const qsizetype linkOpen = linkClose < 0 ? -1 : find(QLatin1String("<link>"), linkClose - 6);
    const qsizetype verClose = linkOpen < 0 ? -1 : find(QLatin1String("</ver>"), linkOpen - 6);
    // Position 0 holds the opening "<", so the name's closing ">" starts at 1 at the earliest.
    const qsizetype verOpen = verClose < 0 ? -1 : find(QLatin1String("><ver>"), verClose - 6);
    if (verOpen < 1)
        return std::nullopt;
    return UpdateListLineParts {line.sliced(1, verOpen - 1),
        line.sliced(verOpen + 6, verClose - verOpen - 6),
        line.sliced(verClose + 6, linkOpen - verClose - 6),
        line.sliced(linkOpen + 6, linkClose - linkOpen - 6)};
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

std::optional<UpdateListLineParts> matchUpdateListLine(QStringView line)
{
    if (line.size() > maxUpdateListLineLength)
        return std::nullopt;
    std::optional<UpdateListLineParts> parts = locatePieces(line);
    // "." matches anything but a line feed.
    if (!parts || line.contains(QLatin1Char('\n')))
        return std::nullopt;
    return parts;
}

std::optional<UpdateListLine> parseUpdateListLine(QStringView line)
{
    const std::optional<UpdateListLineParts> parts = matchUpdateListLine(line);
    if (!parts)
        return std::nullopt;

    UpdateListLine result;
    result.name = parts->name.toString();
    // The version text is only read, while the line lives: no copy of it is needed.
    result.entry.version = parseVersion(
        result.name, QString::fromRawData(parts->version.data(), parts->version.size()));
    result.entry.link = parts->link.toString();
    result.entry.selected = true;
    // Most lists carry no integrity elements; skip the searches when there is no middle text.
    if (!parts->middle.isEmpty()) {
        result.entry.integrity = fileIntegrity(
            elementText(parts->middle, QLatin1String("<size>"), QLatin1String("</size>")),
            elementText(parts->middle, QLatin1String("<sha256>"), QLatin1String("</sha256>")));
        result.entry.patches = parsePatchOffers(parts->middle);
    }
    return result;
}

namespace {

// Calls `handle` with every line of the list, decoded, without its LF and without any CR, until
// it returns false. Lines are decoded one at a time into one buffer: the list as one decoded
// text would take twice its size again, and a first call pays for every page of that memory.
template <typename Handle> void forEachLine(const QByteArray &bytes, Handle handle)
{
    QString buffer;
    const char *next = bytes.constData();
    const char *const end = next + bytes.size();
    while (next < end) {
        const char *lineEnd = static_cast<const char *>(std::memchr(next, '\n', end - next));
        const bool lastLine = !lineEnd;
        if (lastLine)
            lineEnd = end;
        if (buffer.size() < lineEnd - next)
            buffer.resize(lineEnd - next);
        char16_t *const begin = reinterpret_cast<char16_t *>(buffer.data());
        char16_t *out = begin;
        for (; next < lineEnd; ++next) {
            if (*next != '\r')
                *out++ = windows1250ToUnicode(uchar(*next));
        }
        next = lineEnd + 1;
        // Text after the last LF that was nothing but CRs is no line at all.
        if (lastLine && out == begin)
            break;
        if (!handle(QStringView(begin, out - begin)))
            break;
    }
}

} // namespace

QStringList updateListLines(const QByteArray &bytes)
{
    QStringList lines;
    forEachLine(bytes, [&lines](QStringView line) {
        lines.append(line.toString());
        return true;
    });
    return lines;
}

std::optional<QMap<QString, UpdateEntry>> parseUpdateList(
    const QByteArray &bytes, qsizetype maxEntries)
{
    QMap<QString, UpdateEntry> entries;
    bool tooMany = false;
    forEachLine(bytes, [&](QStringView line) {
        // Publishers' lists come sorted by name: with the end as the hint, each insertion
        // costs a comparison or two instead of a search down the tree.
        if (std::optional<UpdateListLine> parsed = parseUpdateListLine(line))
            entries.insert(entries.cend(), parsed->name, parsed->entry);
        tooMany = entries.size() > maxEntries;
        return !tooMany;
    });
    if (tooMany)
        return std::nullopt;
    return entries;
}

QList<PatchOffer> parsePatchOffers(QStringView middle)
{
    // The address: absolute http(s) with a host, or a reference relative to the list (which
    // names no scheme at all), and nothing that could end the element or hide in it.
    static const QRegularExpression element(QStringLiteral(
        "<patch from=\"([0-9A-Fa-f]{64})\" sha256=\"([0-9A-Fa-f]{64})\" size=\"([0-9]{1,18})\">"
        "((?:[Hh][Tt][Tt][Pp][Ss]?)://[^\\s<>\"/]+[^\\s<>\"]*"
        "|(?![A-Za-z][A-Za-z0-9+.\\-]*:)[^\\s<>\"]+)</patch>"));
    QList<PatchOffer> offers;
    if (!middle.contains(QLatin1String("<patch ")))
        return offers;
    QRegularExpressionMatchIterator matches = element.globalMatch(middle);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        PatchOffer offer;
        offer.from = match.captured(1).toLatin1().toLower();
        offer.sha256 = match.captured(2).toLatin1().toLower();
        offer.size = match.captured(3).toLongLong();
        offer.link = match.captured(4);
        offers.append(offer);
    }
    return offers;
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

FileIntegrity fileIntegrity(
    const std::optional<QString> &sizeText, const std::optional<QString> &sha256Text)
{
    FileIntegrity integrity;
    if (sizeText) {
        integrity.size = parseSizeText(*sizeText);
        integrity.malformed = !integrity.size;
    }
    if (sha256Text) {
        if (isValidSha256Text(*sha256Text))
            integrity.sha256 = sha256Text->toLatin1().toLower();
        else
            integrity.malformed = true;
    }
    return integrity;
}
