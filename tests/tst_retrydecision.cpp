#include "transfer/retrydecision.h"

#include <QtTest>

using Action = RetryDecision::Action;
using Error = QNetworkReply::NetworkError;

Q_DECLARE_METATYPE(AttemptReport)
Q_DECLARE_METATYPE(TransferFailure::Kind)

namespace {

AttemptReport answered(int status, bool bodyAccepted = true)
{
    AttemptReport report;
    report.status = status;
    report.bodyAccepted = bodyAccepted;
    return report;
}

template <typename Change> AttemptReport with(AttemptReport report, Change change)
{
    change(report);
    return report;
}

} // namespace

class TestRetryDecision : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decide_data();
    void decide();
    void failureKind_data();
    void failureKind();
    void unanswered_data();
    void unanswered();
};

void TestRetryDecision::decide_data()
{
    QTest::addColumn<AttemptReport>("report");
    QTest::addColumn<Action>("action");
    QTest::addColumn<int>("delayMs");

    const AttemptReport cut = with(
        answered(200), [](AttemptReport &r) { r.error = QNetworkReply::RemoteHostClosedError; });
    const auto after = [](AttemptReport report, int retriesDone) {
        report.retriesDone = retriesDone;
        return report;
    };
    const auto busy = [](int status, std::optional<qint64> retryAfterMs) {
        return with(answered(status, false), [=](AttemptReport &r) {
            r.error = QNetworkReply::ServiceUnavailableError;
            r.retryAfterMs = retryAfterMs;
        });
    };

    QTest::newRow("200, whole") << answered(200) << Action::Complete << 0;
    QTest::newRow("the 206 asked for, whole") << answered(206) << Action::Complete << 0;
    QTest::newRow("204") << answered(204, false) << Action::Fail << 0;
    QTest::newRow("206 not asked for") << answered(206, false) << Action::Fail << 0;
    QTest::newRow("404") << with(answered(404, false), [](AttemptReport &r) {
        r.error = QNetworkReply::ContentNotFoundError;
    }) << Action::Fail << 0;
    QTest::newRow("short body") << with(answered(200), [](AttemptReport &r) { r.shortBody = true; })
                                << Action::Retry << 1000;
    QTest::newRow("cut, first retry") << cut << Action::Retry << 1000;
    QTest::newRow("cut, second retry") << after(cut, 1) << Action::Retry << 2000;
    QTest::newRow("cut, third retry") << after(cut, 2) << Action::Retry << 4000;
    QTest::newRow("cut, no retries left") << after(cut, 3) << Action::Fail << 0;
    QTest::newRow("stall (Qt cancels)") << with(answered(0, false), [](AttemptReport &r) {
        r.error = QNetworkReply::OperationCanceledError;
    }) << Action::Retry << 1000;
    QTest::newRow("too slow") << with(answered(200), [](AttemptReport &r) {
        r.tooSlow = true;
        r.error = QNetworkReply::OperationCanceledError;
    }) << Action::Retry << 1000;
    QTest::newRow("TLS error") << with(answered(0, false), [](AttemptReport &r) {
        r.error = QNetworkReply::SslHandshakeFailedError;
    }) << Action::Fail << 0;
    QTest::newRow("500") << with(answered(500, false), [](AttemptReport &r) {
        r.error = QNetworkReply::InternalServerError;
    }) << Action::Retry << 1000;
    QTest::newRow("503, Retry-After 5 s") << busy(503, 5000) << Action::Retry << 5000;
    QTest::newRow("429, Retry-After 0") << busy(429, 0) << Action::Retry << 0;
    QTest::newRow("503, Retry-After past the cap")
        << busy(503, qint64(2147484) * 1000) << Action::Retry << 30000;
    QTest::newRow("503 without Retry-After") << busy(503, std::nullopt) << Action::Retry << 1000;
    QTest::newRow("500 ignores Retry-After") << with(busy(500, 9000), [](AttemptReport &r) {
        r.error = QNetworkReply::InternalServerError;
    }) << Action::Retry << 1000;
    QTest::newRow("416 to a range") << with(answered(416, false), [](AttemptReport &r) {
        r.rangeRequested = true;
        r.error = QNetworkReply::UnknownContentError;
    }) << Action::RestartFromZero << 0;
    QTest::newRow("416 again") << with(answered(416, false), [](AttemptReport &r) {
        r.rangeRequested = true;
        r.rangeRefusedBefore = true;
        r.error = QNetworkReply::UnknownContentError;
    }) << Action::Fail << 0;
    QTest::newRow("206 of another version") << with(answered(206, false), [](AttemptReport &r) {
        r.rangeRequested = true;
        r.rangeMismatch = true;
        r.error = QNetworkReply::OperationCanceledError;
    }) << Action::RestartFromZero << 0;
    QTest::newRow("206 of another version, no retries left")
        << after(with(answered(206, false), [](AttemptReport &r) { r.rangeMismatch = true; }), 3)
        << Action::Fail << 0;
    QTest::newRow("encoded body") << with(answered(200), [](AttemptReport &r) { r.encoded = true; })
                                  << Action::Fail << 0;
    QTest::newRow("encoded body, cut")
        << with(cut, [](AttemptReport &r) { r.encoded = true; }) << Action::Fail << 0;
    // Nothing another try could mend, however passing the error looks.
    QTest::newRow("two framings, cut")
        << with(cut, [](AttemptReport &r) { r.unrecoverable = QStringLiteral("two framings"); })
        << Action::Fail << 0;
}

void TestRetryDecision::decide()
{
    QFETCH(AttemptReport, report);
    const RetryDecision decision = decideRetry(report, TransferPolicy());
    QTEST(decision.action, "action");
    if (decision.action == Action::Retry || decision.action == Action::RestartFromZero)
        QTEST(decision.delayMs, "delayMs");
    QCOMPARE(decision.reason.isEmpty(), decision.action == Action::Complete);
}

void TestRetryDecision::failureKind_data()
{
    using Kind = TransferFailure::Kind;
    QTest::addColumn<AttemptReport>("report");
    QTest::addColumn<Kind>("kind");

    const auto lastTry = [](int status, Error error, bool bodyAccepted = false) {
        return with(answered(status, bodyAccepted), [error](AttemptReport &r) {
            r.error = error;
            r.retriesDone = 3;
        });
    };
    QTest::newRow("404") << lastTry(404, Error::ContentNotFoundError) << Kind::HttpStatus;
    QTest::newRow("503 after the retries")
        << lastTry(503, Error::ServiceUnavailableError) << Kind::HttpStatus;
    QTest::newRow("refused") << lastTry(0, Error::ConnectionRefusedError) << Kind::NoConnection;
    QTest::newRow("name not found") << lastTry(0, Error::HostNotFoundError) << Kind::NoConnection;
    QTest::newRow("nothing in time")
        << lastTry(0, Error::OperationCanceledError) << Kind::NoResponse;
    QTest::newRow("too slow") << with(lastTry(200, Error::OperationCanceledError, true),
        [](AttemptReport &r) { r.tooSlow = true; })
                              << Kind::NoResponse;
    QTest::newRow("closed mid-body")
        << lastTry(200, Error::RemoteHostClosedError, true) << Kind::Cut;
    QTest::newRow("shorter than announced")
        << with(lastTry(200, Error::NoError, true), [](AttemptReport &r) { r.shortBody = true; })
        << Kind::Cut;
    QTest::newRow("TLS") << lastTry(0, Error::SslHandshakeFailedError) << Kind::Tls;
    QTest::newRow("encoded") << with(answered(200), [](AttemptReport &r) { r.encoded = true; })
                             << Kind::BadAnswer;
    QTest::newRow("206 of another version") << with(lastTry(206, Error::OperationCanceledError),
        [](AttemptReport &r) { r.rangeMismatch = true; })
                                            << Kind::BadAnswer;
}

void TestRetryDecision::failureKind()
{
    QFETCH(AttemptReport, report);
    QFETCH(TransferFailure::Kind, kind);
    const RetryDecision decision = decideRetry(report, TransferPolicy());
    QCOMPARE(decision.action, Action::Fail);
    QCOMPARE(decision.failure.kind, kind);
    QCOMPARE(
        decision.failure.httpStatus, kind == TransferFailure::Kind::HttpStatus ? report.status : 0);
}

void TestRetryDecision::unanswered_data()
{
    QTest::addColumn<AttemptReport>("report");
    QTest::addColumn<bool>("retryUnanswered");
    QTest::addColumn<Action>("action");

    const auto ended = [](int status, Error error) {
        return with(answered(status, status != 0), [error](AttemptReport &r) { r.error = error; });
    };
    QTest::newRow("nothing in time, another server to ask")
        << ended(0, Error::OperationCanceledError) << false << Action::Fail;
    QTest::newRow("stall after the status line")
        << ended(200, Error::OperationCanceledError) << false << Action::Retry;
    QTest::newRow("refused") << ended(0, Error::ConnectionRefusedError) << false << Action::Retry;
}

void TestRetryDecision::unanswered()
{
    QFETCH(AttemptReport, report);
    QFETCH(bool, retryUnanswered);
    TransferPolicy policy;
    policy.retryUnanswered = retryUnanswered;
    const RetryDecision decision = decideRetry(report, policy);
    QTEST(decision.action, "action");
    if (decision.action == Action::Fail)
        QCOMPARE(decision.failure.kind, TransferFailure::Kind::NoResponse);
}

QTEST_GUILESS_MAIN(TestRetryDecision)
#include "tst_retrydecision.moc"
