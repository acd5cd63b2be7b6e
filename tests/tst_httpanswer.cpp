#include "transfer/httpanswer.h"

#include <QDateTime>
#include <QtTest>

using HttpAnswer::Headers;

class TestHttpAnswer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void retryAfter_data();
    void retryAfter();
    void contentRange_data();
    void contentRange();
    void framing_data();
    void framing();
};

void TestHttpAnswer::retryAfter_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("ms"); // -1: not a Retry-After at all

    QTest::newRow("seconds") << QByteArray("2") << qint64(2000);
    QTest::newRow("blanks around") << QByteArray(" 7 ") << qint64(7000);
    QTest::newRow("past an int of ms") << QByteArray("2147484") << qint64(2147484000);
    QTest::newRow("past 32 bits of s") << QByteArray("4294967296") << qint64(1000000000000);
    QTest::newRow("twenty digits") << QByteArray("99999999999999999999") << qint64(1000000000000);
    QTest::newRow("negative") << QByteArray("-5") << qint64(-1);
    QTest::newRow("fraction") << QByteArray("1.5") << qint64(-1);
    QTest::newRow("empty") << QByteArray("") << qint64(-1);
    QTest::newRow("IMF-fixdate") << QByteArray("Wed, 09 Dec 2026 12:00:30 GMT") << qint64(30000);
    QTest::newRow("RFC 850 date") << QByteArray("Wednesday, 09-Dec-26 12:01:00 GMT")
                                  << qint64(60000);
    QTest::newRow("asctime date") << QByteArray("Wed Dec  9 12:00:05 2026") << qint64(5000);
    QTest::newRow("date in the past") << QByteArray("Tue, 08 Dec 2026 12:00:00 GMT") << qint64(0);
    QTest::newRow("garbage") << QByteArray("soon") << qint64(-1);
}

void TestHttpAnswer::retryAfter()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, ms);
    const QDateTime now(QDate(2026, 12, 9), QTime(12, 0), Qt::UTC);
    const std::optional<qint64> wait = HttpAnswer::retryAfterMs(value, now);
    QCOMPARE(wait, ms < 0 ? std::nullopt : std::optional<qint64>(ms));
}

void TestHttpAnswer::contentRange_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("total");

    QTest::newRow("whole rest") << QByteArray("bytes 200000-399999/400000") << true
                                << qint64(200000) << qint64(399999) << qint64(400000);
    QTest::newRow("last past the total")
        << QByteArray("bytes 0-400000/400000") << false << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("first after last")
        << QByteArray("bytes 9-8/400000") << false << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("unknown total")
        << QByteArray("bytes 0-9/*") << false << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("signed first") << QByteArray("bytes +1-9/10") << false << qint64(0) << qint64(0)
                                  << qint64(0);
    QTest::newRow("other unit") << QByteArray("items 0-9/10") << false << qint64(0) << qint64(0)
                                << qint64(0);
}

void TestHttpAnswer::contentRange()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, valid);
    const std::optional<HttpAnswer::ContentRange> range = HttpAnswer::parseContentRange(value);
    QCOMPARE(range.has_value(), valid);
    if (range) {
        QTEST(range->first, "first");
        QTEST(range->last, "last");
        QTEST(range->total, "total");
    }
}

void TestHttpAnswer::framing_data()
{
    QTest::addColumn<Headers>("headers");
    QTest::addColumn<bool>("ambiguous");
    QTest::newRow("length") << Headers {{"Content-Length", "5120"}} << false;
    QTest::newRow("chunked") << Headers {{"Transfer-Encoding", "chunked"}} << false;
    QTest::newRow("both") << Headers {{"transfer-encoding", "chunked"}, {"content-length", "5120"}}
                          << true;
    QTest::newRow("two lengths") << Headers {{"Content-Length", "5120"},
        {"Content-Length", "10240"}}
                                 << true;
    QTest::newRow("one header, two lengths") << Headers {{"Content-Length", "5120, 10240"}} << true;
    QTest::newRow("the same length twice")
        << Headers {{"Content-Length", "5120"}, {"Content-Length", "5120"}} << false;
}

void TestHttpAnswer::framing()
{
    QFETCH(Headers, headers);
    QTEST(HttpAnswer::hasAmbiguousFraming(headers), "ambiguous");
}

QTEST_GUILESS_MAIN(TestHttpAnswer)
#include "tst_httpanswer.moc"
