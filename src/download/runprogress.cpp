#include "runprogress.h"

RunProgress::RunProgress(const QList<qint64> &sizes)
    : sizes(sizes)
{ }

void RunProgress::startFile()
{
    if (current + 1 < sizes.size())
        ++current;
    currentBytes = 0;
}

void RunProgress::transferProgress(qint64 received, qint64 total)
{
    if (current < 0 || received < 0)
        return;
    qint64 &size = sizes[current];
    if (size < 0 && total > 0)
        size = total;
    if (size < 0)
        return;
    // A patch, or a file whose answer is not the length the line says, moves only its own share.
    const qint64 share = total > 0 ? qint64(double(size) * double(qMin(received, total)) / total)
                                   : qMin(received, size);
    currentBytes = qBound(qint64(0), share, size);
}

void RunProgress::finishFile()
{
    if (current < 0)
        return;
    finishedBytes += qMax(sizes.at(current), qint64(0));
    currentBytes = 0;
}

qint64 RunProgress::doneBytes() const
{
    return finishedBytes + currentBytes;
}

qint64 RunProgress::totalBytes() const
{
    qint64 total = 0;
    for (qint64 size : sizes)
        total += qMax(size, qint64(0));
    return total;
}
