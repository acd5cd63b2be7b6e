#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <optional>

class QDateTime;

// What the headers of one HTTP answer say, read without trusting them: every function here
// takes any bytes a server may send.
namespace HttpAnswer {

using Headers = QList<QPair<QByteArray, QByteArray>>;

// The last value of that header, trimmed; empty when there is none.
QByteArray headerValue(const Headers &headers, const char *name);

// Retry-After as delta-seconds of any size or as an HTTP date, in milliseconds from `now`
// (0 for a date in the past); nullopt when it is neither. Large values saturate instead of
// overflowing.
std::optional<qint64> retryAfterMs(const QByteArray &value, const QDateTime &now);

// "bytes FIRST-LAST/TOTAL" with FIRST <= LAST < TOTAL.
struct ContentRange
{
    qint64 first = 0;
    qint64 last = 0;
    qint64 total = 0;
};
std::optional<ContentRange> parseContentRange(const QByteArray &value);

// Two framings at once (Transfer-Encoding beside Content-Length), or Content-Length values that
// disagree: what the body is depends on who reads it, so none of it can be trusted.
bool hasAmbiguousFraming(const Headers &headers);

// A Content-Encoding other than identity: the body is not the file's bytes, and a cut
// compressed stream may look whole to the transport.
bool isEncoded(const Headers &headers);

// What identifies this version of the file for If-Range: a strong ETag, else Last-Modified;
// empty when there is none that If-Range may carry (a weak ETag).
QByteArray validatorOf(const Headers &headers);

} // namespace HttpAnswer
