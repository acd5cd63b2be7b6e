#include "testkey.h"
#include "updatelist/listsignature.h"
#include "updatelist/updaterlist.h"

#include <QtTest>

Q_DECLARE_METATYPE(ListSignatureCheck)
Q_DECLARE_METATYPE(UpdaterListCheck::Verdict)

class TestListSignature : public QObject
{
    Q_OBJECT

private slots:
    void check_data();
    void check();
    void updaterList_data();
    void updaterList();

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

namespace {

QByteArray updaterLine(const QByteArray &path, const QByteArray &release = "2000",
    const QByteArray &integrity = "<sha256>" + QByteArray(64, 'a') + "</sha256><size>5</size>")
{
    return '<' + path + "><ver>" + release + "</ver>" + integrity + "<link>f/" + path + "</link></"
        + path + ">\r\n";
}

} // namespace

// The updater renews itself (from a list its own release, 1000, is older than) only when all of
// the list holds.
void TestListSignature::updaterList_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("signedBy");
    QTest::addColumn<int>("validDays");
    QTest::addColumn<UpdaterListCheck::Verdict>("verdict");
    using Verdict = UpdaterListCheck::Verdict;
    const QByteArray good = updaterLine("aktualizator.exe") + updaterLine("platforms/qwindows.dll");
    QTest::newRow("accepted") << good << "trusted" << 1 << Verdict::Accepted;
    QTest::newRow("a build without keys") << good << "" << 1 << Verdict::NoKeys;
    QTest::newRow("signed by no built-in key") << good << "stranger" << 1 << Verdict::BadSignature;
    QTest::newRow("expired") << good << "trusted" << -1 << Verdict::Expired;
    QTest::newRow("the running release")
        << updaterLine("a.dll", "1000") << "trusted" << 1 << Verdict::NotNewer;
    QTest::newRow("an older release")
        << updaterLine("a.dll", "999") << "trusted" << 1 << Verdict::NotNewer;
    QTest::newRow("two releases") << updaterLine("a.dll") + updaterLine("b.dll", "2001")
                                  << "trusted" << 1 << Verdict::BadLine;
    QTest::newRow("no size") << updaterLine(
        "a.dll", "2000", "<sha256>" + QByteArray(64, 'a') + "</sha256>")
                             << "trusted" << 1 << Verdict::BadLine;
    QTest::newRow("no checksum") << updaterLine("a.dll", "2000", "<size>5</size>") << "trusted" << 1
                                 << Verdict::BadLine;
    QTest::newRow("a line of no form") << good + "x\r\n"
                                       << "trusted" << 1 << Verdict::BadLine;
    for (const char *path : {"../a.dll", "/a.dll", "platforms//q.dll", "plugins/a.dll",
             "Plugins/a.dll", "welor.exe", "aktualizacje.txt", "aktualizator-swap.journal",
             "tls/q.dll.aktualizator-0a1b2c.old", "platforms\\q.dll"})
        QTest::addRow("path %s", path) << updaterLine(path) << "trusted" << 1 << Verdict::BadPath;
    QTest::newRow("one file in two cases")
        << updaterLine("Qt6Core.dll") + updaterLine("qt6core.dll") << "trusted" << 1
        << Verdict::Duplicate;
    QTest::newRow("no line") << QByteArray() << "trusted" << 1 << Verdict::Empty;
}

void TestListSignature::updaterList()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, signedBy);
    QFETCH(int, validDays);
    QFETCH(UpdaterListCheck::Verdict, verdict);
    const QByteArray signature = signatureFile(
        list, {signedBy == "stranger" ? &strangerKey : &oldKey}, now.addDays(validDays));
    const QByteArray keys = signedBy.isEmpty() ? QByteArray() : oldKey.publicKeyBase64();
    const UpdaterListCheck check = checkUpdaterList(keys, list, signature, now, 1000);
    QCOMPARE(check.verdict, verdict);
    QCOMPARE(check.files.size(), verdict == UpdaterListCheck::Verdict::Accepted ? 2 : 0);
    if (!check.files.isEmpty()) {
        QCOMPARE(check.release, 2000u);
        QCOMPARE(check.files.at(1).path, QStringLiteral("platforms/qwindows.dll"));
        QCOMPARE(check.files.at(1).entry.integrity.size, std::optional<qint64>(5));
    }
}

QTEST_GUILESS_MAIN(TestListSignature)
#include "tst_listsignature.moc"
