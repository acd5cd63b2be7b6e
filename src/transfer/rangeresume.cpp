#include "rangeresume.h"

void RangeResume::wholeAnswer(const HttpAnswer::Headers &headers, qint64 contentLength)
{
    rangeTotal = -1;
    validator = HttpAnswer::validatorOf(headers);
    firstTotal = contentLength;
    // Without a validator a resumed range could belong to another version, and without a
    // length nothing tells where the file ends. The bytes of an encoded answer are not the
    // file's, so no range of the file continues them.
    offered = HttpAnswer::headerValue(headers, "Accept-Ranges").toLower().contains("bytes")
        && !validator.isEmpty() && firstTotal > 0 && !HttpAnswer::isEncoded(headers);
}

bool RangeResume::canResume(qint64 received) const
{
    return enabled && offered && received > 0;
}

QByteArray RangeResume::rangeHeader(qint64 received) const
{
    return "bytes=" + QByteArray::number(received) + '-';
}

bool RangeResume::continues(
    const HttpAnswer::Headers &headers, qint64 received, qint64 contentLength)
{
    const std::optional<HttpAnswer::ContentRange> range
        = HttpAnswer::parseContentRange(HttpAnswer::headerValue(headers, "Content-Range"));
    const bool same = range && range->first == received && range->total == firstTotal
        && range->last == range->total - 1 && HttpAnswer::validatorOf(headers) == validator
        && (contentLength < 0 || contentLength == range->last - range->first + 1);
    rangeTotal = same ? range->total : -1;
    return same;
}
