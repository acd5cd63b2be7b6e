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

// What a user can tell apart: the server said no, nothing answered, nothing came in time, the
// line broke, or TLS failed.
TransferFailure::Kind failureKind(const AttemptReport &report)
{
    using Kind = TransferFailure::Kind;
    if (report.tooSlow)
        return Kind::NoResponse;
    if (report.status != 0 && report.status != 200 && report.status != 206)
        return Kind::HttpStatus;
    switch (report.error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
        return Kind::NoConnection;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::ProxyTimeoutError:
        return Kind::NoResponse;
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::InsecureRedirectError:
        return Kind::Tls;
    case QNetworkReply::NoError:
        return report.bodyAccepted ? Kind::Cut : Kind::BadAnswer;
    default:
        return report.status == 0 && !report.bodyAccepted ? Kind::NoConnection : Kind::Cut;
    }
}

RetryDecision fail(const AttemptReport &report, const QString &reason,
    std::optional<TransferFailure::Kind> kind = std::nullopt)
{
    const TransferFailure::Kind why = kind.value_or(failureKind(report));
    const int status = why == TransferFailure::Kind::HttpStatus ? report.status : 0;
    return {RetryDecision::Action::Fail, 0, reason, TransferFailure::of(why, reason, status)};
}

} // namespace

RetryDecision decideRetry(const AttemptReport &report, const TransferPolicy &policy)
{
    using Action = RetryDecision::Action;
    if (report.unrecoverable)
        return fail(report, *report.unrecoverable, TransferFailure::Kind::None);
    const bool retriesLeft = report.retriesDone < policy.retries;
    const auto again = [&](Action action, int delayMs, const QString &reason) {
        if (!retriesLeft) {
            // Our own abort of a 206 that did not fit reads as a cancel; it was the answer.
            std::optional<TransferFailure::Kind> kind;
            if (report.rangeMismatch)
                kind = TransferFailure::Kind::BadAnswer;
            else if (report.shortBody && !report.tooSlow && report.error == QNetworkReply::NoError)
                kind = TransferFailure::Kind::Cut;
            return fail(report, reason + QStringLiteral(", and no retries are left"), kind);
        }
        return RetryDecision {action, delayMs, reason, {}};
    };
    if (report.status == 416 && report.rangeRequested && !report.rangeRefusedBefore)
        return again(Action::RestartFromZero, 0, QStringLiteral("the range was refused"));
    if (report.rangeMismatch)
        return again(
            Action::RestartFromZero, 0, QStringLiteral("the 206 does not continue the same file"));

    const bool unanswered = report.status == 0 && !report.tooSlow
        && (report.error == QNetworkReply::OperationCanceledError
            || report.error == QNetworkReply::TimeoutError);
    if (unanswered && !policy.retryUnanswered)
        return fail(report, QStringLiteral("nothing answered in time"));

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
        return passing ? again(Action::Retry, delayMs, what) : fail(report, what);
    };
    // Before any retry: a cut encoded answer would otherwise be resumed, and the rest spliced
    // onto encoded bytes.
    if (report.encoded && (report.status == 200 || report.status == 206))
        return fail(
            report, QStringLiteral("the body is encoded"), TransferFailure::Kind::BadAnswer);
    if (report.tooSlow || report.error != QNetworkReply::NoError)
        return retryOrFail();
    // Only a plain 200, or the 206 that was asked for, carries the file: a 204 carries none of
    // it, any other 206 a piece, and a 3xx that Qt did not follow something else.
    if (!report.bodyAccepted || (report.status != 200 && report.status != 206))
        return retryOrFail();
    if (report.shortBody)
        return again(Action::Retry, delayMs, QStringLiteral("the body is shorter than announced"));
    return {Action::Complete, 0, {}, {}};
}
