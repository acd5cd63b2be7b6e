#include "retrydecision.h"

namespace {

bool isPassingStatus(int status)
{
    // A busy or failing server: worth another try.
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503
        || status == 504;
}

bool isCut(QNetworkReply::NetworkError error)
{
    // Qt's no-data timeout cancels the request: a stall reads as OperationCanceledError.
    return error == QNetworkReply::RemoteHostClosedError
        || error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError
        || error == QNetworkReply::TemporaryNetworkFailureError
        || error == QNetworkReply::ConnectionRefusedError
        || error == QNetworkReply::UnknownNetworkError;
}

RetryDecision fail(const QString &reason)
{
    return {RetryDecision::Action::Fail, 0, reason};
}

} // namespace

RetryDecision decideRetry(const AttemptReport &report, const TransferPolicy &policy)
{
    using Action = RetryDecision::Action;
    if (report.unrecoverable)
        return fail(*report.unrecoverable);
    const bool retriesLeft = report.retriesDone < policy.retries;
    const auto again = [&](Action action, int delayMs, const QString &reason) {
        if (!retriesLeft)
            return fail(reason + QStringLiteral(", and no retries are left"));
        return RetryDecision {action, delayMs, reason};
    };
    if (report.status == 416 && report.rangeRequested && !report.rangeRefusedBefore)
        return again(Action::RestartFromZero, 0, QStringLiteral("the range was refused"));
    if (report.rangeMismatch)
        return again(
            Action::RestartFromZero, 0, QStringLiteral("the 206 does not continue the same file"));

    const bool passing = report.tooSlow || isPassingStatus(report.status)
        || ((report.status == 0 || report.status == 200 || report.status == 206)
            && isCut(report.error));
    // 1 s, 2 s, 4 s, ...; a busy server may say how long instead, up to the cap.
    qint64 delay = qint64(policy.firstRetryDelayMs) << qMin(report.retriesDone, 20);
    if ((report.status == 429 || report.status == 503) && report.retryAfterMs)
        delay = qMin(*report.retryAfterMs, qint64(policy.retryAfterCapMs));
    const int delayMs = int(qMin(delay, qint64(1) << 30));
    const QString what = report.tooSlow
        ? QStringLiteral("slower than the minimum rate")
        : QStringLiteral("status %1, network error %2").arg(report.status).arg(int(report.error));
    const auto retryOrFail = [&] {
        return passing ? again(Action::Retry, delayMs, what) : fail(what);
    };
    if (report.tooSlow || report.error != QNetworkReply::NoError)
        return retryOrFail();
    // Only a plain 200, or the 206 that was asked for, carries the file: a 204 carries none of
    // it, any other 206 a piece, and a 3xx that Qt did not follow something else.
    if (!report.bodyAccepted || (report.status != 200 && report.status != 206))
        return retryOrFail();
    if (report.encoded)
        return fail(QStringLiteral("the body is encoded"));
    if (report.shortBody)
        return again(Action::Retry, delayMs, QStringLiteral("the body is shorter than announced"));
    return {Action::Complete, 0, {}};
}
