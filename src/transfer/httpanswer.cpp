#include "httpanswer.h"

#include <QDateTime>
#include <QLocale>

namespace {

// About 31 years: far beyond any wait anybody caps at, far below overflow.
constexpr qint64 longestSeconds = 1000000000;

QByteArray lastValue(const HttpAnswer::Headers &headers, const char *name, int *count = nullptr)
{
    QByteArray value;
    int seen = 0;
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
            ++seen;
            value = header.second.trimmed();
        }
    }
    if (count)
        *count = seen;
    return value;
}

std::optional<qint64> decimal(const QByteArray &digits)
{
    if (digits.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = qMin(value * 10 + (c - '0'), std::numeric_limits<qint64>::max() / 20);
    }
    return value;
}

} // namespace

namespace HttpAnswer {

QByteArray headerValue(const Headers &headers, const char *name)
{
    return lastValue(headers, name);
}

std::optional<qint64> retryAfterMs(const QByteArray &value, const QDateTime &now)
{
    const QByteArray text = value.simplified();
    if (const std::optional<qint64> seconds = decimal(text))
        return qMin(*seconds, longestSeconds) * 1000;
    // The three date forms HTTP allows: IMF-fixdate, RFC 850 and asctime. The weekday goes
    // first: Qt refuses a date whose weekday it disagrees with, and two-digit years would.
    static const char *const formats[]
        = {"dd MMM yyyy HH:mm:ss 'GMT'", "dd-MMM-yy HH:mm:ss 'GMT'", "MMM d HH:mm:ss yyyy"};
    const qsizetype weekdayEnd = text.indexOf(' ');
    if (weekdayEnd < 0)
        return std::nullopt;
    const QString dateText = QString::fromLatin1(text.mid(weekdayEnd + 1));
    for (const char *format : formats) {
        QDateTime date = QLocale::c().toDateTime(dateText, QLatin1String(format));
        if (!date.isValid())
            continue;
        // RFC 850's two-digit years come back as 19xx.
        const QDate day = date.date().year() < 1970 ? date.date().addYears(100) : date.date();
        date = QDateTime(day, date.time(), Qt::UTC);
        return qBound(qint64(0), now.msecsTo(date), longestSeconds * 1000);
    }
    return std::nullopt;
}

std::optional<ContentRange> parseContentRange(const QByteArray &value)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return std::nullopt;
    const QByteArray range = text.mid(6).trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (dash <= 0 || slash <= dash)
        return std::nullopt;
    const std::optional<qint64> first = decimal(range.left(dash));
    const std::optional<qint64> last = decimal(range.mid(dash + 1, slash - dash - 1));
    const std::optional<qint64> total = decimal(range.mid(slash + 1));
    if (!first || !last || !total || *first > *last || *last >= *total)
        return std::nullopt;
    return ContentRange {*first, *last, *total};
}

bool hasAmbiguousFraming(const Headers &headers)
{
    int lengths = 0;
    int encodings = 0;
    lastValue(headers, "Transfer-Encoding", &encodings);
    QByteArray firstLength;
    for (const auto &header : headers) {
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        // One header may carry a list too: "5120, 10240".
        for (const QByteArray &piece : header.second.split(',')) {
            const QByteArray length = piece.trimmed();
            if (lengths++ == 0)
                firstLength = length;
            else if (length != firstLength)
                return true;
        }
    }
    return lengths > 0 && encodings > 0;
}

bool isEncoded(const Headers &headers)
{
    for (const auto &header : headers) {
        if (header.first.compare("Content-Encoding", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &piece : header.second.split(',')) {
            const QByteArray coding = piece.trimmed().toLower();
            if (!coding.isEmpty() && coding != "identity")
                return true;
        }
    }
    return false;
}

QByteArray validatorOf(const Headers &headers)
{
    const QByteArray etag = lastValue(headers, "ETag");
    if (!etag.isEmpty())
        return etag.startsWith("W/") ? QByteArray() : etag;
    return lastValue(headers, "Last-Modified");
}

} // namespace HttpAnswer
