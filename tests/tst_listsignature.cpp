#include "testkey.h"
#include "updatelist/listsignature.h"

#include <QtTest>

Q_DECLARE_METATYPE(ListSignatureCheck)

class TestListSignature : public QObject
{
    Q_OBJECT

private slots:
    void check_data();
    void check();

private:
    TestKey oldKey;
    TestKey newKey;
    TestKey strangerKey;
};

namespace {

const QByteArray list("<A><ver>1</ver><link>http://x/a.dll</link></A>\r\n");
const QDateTime now(QDate(2027, 1, 10), QTime(12, 0), Qt::UTC);

} // namespace

void TestListSignature::check_data()
{
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<QByteArray>("signatureText");
    QTest::addColumn<ListSignatureCheck>("expected");

    const QByteArray oldOnly = oldKey.publicKeyBase64();
    const QByteArray both = oldOnly + ';' + newKey.publicKeyBase64();
    const QByteArray good = signatureFile(list, {&oldKey}, now.addDays(30));

    QTest::newRow("expiring in the future") << oldOnly << good << ListSignatureCheck::Valid;
    QTest::newRow("expiring right now")
        << oldOnly << signatureFile(list, {&oldKey}, now) << ListSignatureCheck::Expired;
    QTest::newRow("expired") << oldOnly << signatureFile(list, {&oldKey}, now.addSecs(-1))
                             << ListSignatureCheck::Expired;
    QTest::newRow("one of two signatures by an unknown key")
        << oldOnly << signatureFile(list, {&strangerKey, &oldKey}, now.addDays(1))
        << ListSignatureCheck::Valid;
    QTest::newRow("signed by the second trusted key only")
        << both << signatureFile(list, {&newKey}, now.addDays(1)) << ListSignatureCheck::Valid;
    QTest::newRow("signed by no trusted key")
        << both << signatureFile(list, {&strangerKey}, now.addDays(1))
        << ListSignatureCheck::Untrusted;
    // Under the identity point, R = identity and S = 0 pass for any message, with no key behind.
    const QByteArray identity = QByteArray(1, '\x01') + QByteArray(31, '\0');
    const QByteArray forged = "expires 2027-02-09T12:00:00Z\ned25519 "
        + (identity + QByteArray(32, '\0')).toBase64() + '\n';
    QTest::newRow("key of small order")
        << identity.toBase64() << forged << ListSignatureCheck::Untrusted;
    QByteArray prolonged = good;
    prolonged.replace("expires 2027-02", "expires 2028-02");
    QTest::newRow("expires line altered") << oldOnly << prolonged << ListSignatureCheck::Untrusted;
    QByteArray crlf = good;
    crlf.replace('\n', "\r\n");
    QTest::newRow("CR LF line ends") << oldOnly << crlf << ListSignatureCheck::Valid;
    QTest::newRow("unknown line") << oldOnly << good + "serial 7\n"
                                  << ListSignatureCheck::Malformed;
    QTest::newRow("blank line") << oldOnly << good + "\n" << ListSignatureCheck::Malformed;
    QTest::newRow("byte order mark")
        << oldOnly << "\xEF\xBB\xBF" + good << ListSignatureCheck::Malformed;
    QByteArray offset = good;
    offset.replace("00Z\n", "00+01:00\n");
    QTest::newRow("time with an offset") << oldOnly << offset << ListSignatureCheck::Malformed;
    QByteArray impossible = good;
    impossible.replace("2027-02-09", "2027-02-30");
    QTest::newRow("impossible date") << oldOnly << impossible << ListSignatureCheck::Malformed;
    QTest::newRow("no signature line")
        << oldOnly << good.left(good.indexOf('\n') + 1) << ListSignatureCheck::Malformed;
    QTest::newRow("larger than 4 KiB")
        << oldOnly << good + QByteArray(4096, '#') << ListSignatureCheck::Malformed;
}

void TestListSignature::check()
{
    QFETCH(QByteArray, keys);
    QFETCH(QByteArray, signatureText);
    QFETCH(ListSignatureCheck, expected);
    QCOMPARE(checkListSignature(keys, list, signatureText, now), expected);
}

QTEST_GUILESS_MAIN(TestListSignature)
#include "tst_listsignature.moc"
