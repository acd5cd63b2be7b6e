// Whole updates through Debian's Squid as a reverse proxy in front of nginx, set up the way a
// careless CDN is: it keeps every answer for ten minutes, whatever the origin says. Releases
// published content-addressed still arrive whole, and a stale .sig in the cache does no harm: the
// updater asks for the list and its .sig past the cache.

#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "nginx.h"
#include "testutil.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QString squidProgram = QStringLiteral("/usr/sbin/squid");

// One Squid in the foreground, a child of the test, memory cache only, everything it writes in
// its own directory.
class Squid
{
public:
    explicit Squid(const QString &directory)
        : directory(directory)
    { }

    QString start(quint16 originPort)
    {
        // Started by root, Squid works as Debian's "proxy" user, who must write its logs here.
        QFile::setPermissions(directory, QFileDevice::Permissions(0x7777));
        return server.start([&] { return startOn(originPort); });
    }

    void stop() { server.stop(); }
    QString baseUrl() const { return server.baseUrl(); }

private:
    QString startOn(quint16 originPort)
    {
        const QString conf = directory + "/squid.conf";
        // Fresh for ten minutes whatever the origin's headers; a client's no-cache still passes.
        const QString text = QStringLiteral(
            "http_port 127.0.0.1:%1 accel defaultsite=127.0.0.1 no-vhost\n"
            "cache_peer 127.0.0.1 parent %2 0 no-query originserver name=origin\n"
            "cache_peer_access origin allow all\n"
            "http_access allow all\n"
            "cache_mem 64 MB\n"
            "maximum_object_size_in_memory 16 MB\n"
            "refresh_pattern . 10 100% 10 override-expire override-lastmod ignore-no-store "
            "ignore-private\n"
            "pid_filename %3/squid.pid\n"
            "access_log stdio:%3/access.log\n"
            "cache_log %3/cache.log\n"
            "cache_store_log none\n"
            "coredump_dir %3\n"
            "pinger_enable off\n"
            "visible_hostname aktualizator-e2e\n"
            "shutdown_lifetime 0 seconds\n")
                                 .arg(server.port())
                                 .arg(originPort)
                                 .arg(directory);
        if (!writeFile(conf, text.toUtf8()))
            return "cannot write " + conf;
        QFile::remove(directory + "/cache.log");
        const QString why = server.launch(squidProgram, {"-N", "-f", conf});
        if (!why.isEmpty())
            return why;
        QProcess &process = server.process();
        QDeadlineTimer deadline(30000);
        while (!deadline.hasExpired()) {
            if (process.waitForFinished(100))
                break;
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, server.port());
            if (probe.waitForConnected(200)
                && readFile(directory + "/squid.pid").trimmed()
                    == QByteArray::number(process.processId()))
                return {};
        }
        server.stop();
        return QStringLiteral("squid did not start on port %1:\n%2%3")
            .arg(server.port())
            .arg(QString::fromLocal8Bit(process.readAll()),
                QString::fromLocal8Bit(readFile(directory + "/cache.log")));
    }

    QString directory;
    ChildServer server {15000};
};

// The body a GET with these headers gets, or "<failed>".
QByteArray fetch(const QString &url, const QList<QPair<QByteArray, QByteArray>> &headers = {})
{
    QNetworkAccessManager network;
    QNetworkRequest request {QUrl(url)};
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply *reply = network.get(request);
    const bool done = QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
    const QByteArray body
        = done && reply->error() == QNetworkReply::NoError ? reply->readAll() : "<failed>";
    reply->deleteLater();
    return body;
}

QByteArray randomFile(int size, quint32 seed, const QByteArray &change = {})
{
    QByteArray bytes = randomBytes(size, seed);
    if (!change.isEmpty())
        bytes.replace(size / 3, change.size(), change);
    return bytes;
}

QString closedAddress()
{
    const quint16 port = freePort();
    return QStringLiteral("http://127.0.0.1:%1").arg(port == 0 ? 1 : port);
}

} // namespace

class TestE2eSquid : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void releasesThroughACache();

private:
    // Runs a detached update against serverBase and waits for its end; gives the status line.
    QString update(const QString &serverBase, const QStringList &installed);

    QByteArray publicKey;
};

void TestE2eSquid::initTestCase()
{
    for (const QString &program : {squidProgram, nginxProgram}) {
        if (!QFile::exists(program))
            QSKIP(
                qPrintable(program + " is missing (scripts/test installs squid and nginx-light)"));
    }
    for (const char *tool : {"python3", "openssl", "zstd"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(QString("%1 is missing").arg(tool)));
    }
}

QString TestE2eSquid::update(const QString &serverBase, const QStringList &installed)
{
    UpdateDialog dialog(nullptr, serverBase);
    dialog.setUpdatePublicKey(publicKey);
    dialog.parseArguments(QStringList {"aktualizator"} + installed + QStringList {"detached"});
    dialog.show();
    DialogFlow::toSelection(&dialog, 30000);
    if (QTest::currentTestFailed())
        return {};
    for (QCheckBox *box : DialogProbe::checkBoxes(&dialog))
        box->setChecked(true);
    DialogProbe::nextButton(&dialog)->click();
    DialogFlow::waitForEnd(&dialog, 60000);
    return DialogProbe::statusText(&dialog);
}

void TestE2eSquid::releasesThroughACache()
{
    TemporaryWorkingDirectory temp;
    QVERIFY(temp.isValid());
    // Squid's own user must reach its directory below this one.
    QVERIFY(QFile::setPermissions(temp.path(), QFileDevice::Permissions(0x7755)));
    const QString root = temp.path() + "/www";
    for (const char *dir : {"www/pliki", "r1", "r2", "squid", "nginx", "install", "second"})
        QVERIFY(QDir().mkpath(temp.path() + "/" + QString::fromLatin1(dir)));
    QVERIFY(QDir().mkpath(temp.path() + "/install/plugins"));
    QVERIFY(QDir().mkpath(temp.path() + "/second/plugins"));

    Nginx nginx(temp.path() + "/nginx",
        QStringLiteral("$request_method $request_uri $status cache-control=$http_cache_control"));
    QString why = nginx.start(root);
    if (!why.isEmpty())
        QFAIL(qPrintable("nginx could not be started, so nothing was tested: " + why));
    Squid squid(temp.path() + "/squid");
    why = squid.start(quint16(QUrl(nginx.baseUrl()).port()));
    if (!why.isEmpty())
        QFAIL(qPrintable("squid could not be started, so nothing was tested: " + why));

    // Release 1, published the plain way below /pliki.
    const QByteArray main1 = randomFile(400000, 1);
    const QByteArray plugin1 = randomFile(200000, 2);
    QVERIFY(writeFile(temp.path() + "/r1/welor.exe", main1));
    QVERIFY(writeFile(temp.path() + "/r1/raporty.dll", plugin1));
    QVERIFY(writeFile(root + "/pliki/welor.exe", main1));
    QVERIFY(writeFile(root + "/pliki/raporty.dll", plugin1));
    QVERIFY(writeFile(
        temp.path() + "/m1.txt", "WELOR 2.5b15032013 welor.exe\nRaporty 200 raporty.dll\n"));
    const QString key = temp.path() + "/klucz.pem";
    QCOMPARE(runProgram("openssl", {"genpkey", "-algorithm", "ed25519", "-out", key}).exitCode, 0);
    ProgramRun made = runProgram(MAKE_LIST_SCRIPT,
        {temp.path() + "/r1", squid.baseUrl() + "/pliki", temp.path() + "/m1.txt", "-o", root, "-k",
            key});
    QVERIFY2(made.exitCode == 0, qPrintable(made.err));
    publicKey = made.out.mid(made.out.indexOf('=') + 1).trimmed();

    QVERIFY(QDir::setCurrent(temp.path() + "/install"));
    QCOMPARE(update(squid.baseUrl(), {"WELOR::2.4b01012013", "Raporty::100"}), successText);
    QCOMPARE(readFile("welor.exe"), main1);
    QCOMPARE(readFile("plugins/raporty.dll"), plugin1);

    // Release 2, content-addressed with relative links, patches from release 1, and a new file.
    const QByteArray main2 = randomFile(400000, 1, "release 2 of the main product");
    const QByteArray plugin2 = randomFile(200000, 2, "release 2 of the plug-in");
    const QByteArray maps = randomFile(300000, 3);
    QVERIFY(writeFile(temp.path() + "/r2/welor.exe", main2));
    QVERIFY(writeFile(temp.path() + "/r2/raporty.dll", plugin2));
    QVERIFY(writeFile(temp.path() + "/r2/mapy.dat", maps));
    QVERIFY(writeFile(temp.path() + "/m2.txt",
        "WELOR 2.6b15042013 welor.exe\nRaporty 300 raporty.dll\nMapy 300 mapy.dat\n"));
    made = runProgram(MAKE_LIST_SCRIPT,
        {temp.path() + "/r2", ".", temp.path() + "/m2.txt", "-o", root, "-k", key, "--previous",
            temp.path() + "/r1", "--content-addressed", "--relative"});
    QVERIFY2(made.exitCode == 0, qPrintable(made.err));
    QCOMPARE(made.err.count(".patch\n"), 2);

    // Someone's browser reloads the list: the cache now holds the new list beside the last
    // release's .sig, as when its copies of the two expire at different times.
    const QByteArray list2 = readFile(root + "/aktualizacje.txt");
    const QByteArray signature2 = readFile(root + "/aktualizacje.txt.sig");
    QCOMPARE(fetch(squid.baseUrl() + "/aktualizacje.txt", {{"Cache-Control", "no-cache"}}), list2);
    QVERIFY(fetch(squid.baseUrl() + "/aktualizacje.txt.sig") != signature2);

    const QStringList release1 {"WELOR::2.5b15032013", "Raporty::200"};
    QCOMPARE(update(squid.baseUrl(), release1), successText);
    QCOMPARE(readFile("welor.exe"), main2);
    QCOMPARE(readFile("plugins/raporty.dll"), plugin2);
    QCOMPARE(readFile("plugins/mapy.dat"), maps);
    QCOMPARE(treeOf("."),
        QStringList({"plugins", "plugins/mapy.dat", "plugins/raporty.dll", "welor.exe"}));
    // The cache holds release 2 now, list and .sig alike, byte for byte.
    QCOMPARE(fetch(squid.baseUrl() + "/aktualizacje.txt"), list2);
    QCOMPARE(fetch(squid.baseUrl() + "/aktualizacje.txt.sig"), signature2);

    // The .sig reached the origin once per check, asked past the cache each time.
    const auto originLog = [&] {
        return QString::fromUtf8(readFile(nginx.accessLogPath())).split('\n', Qt::SkipEmptyParts);
    };
    QTRY_VERIFY2_WITH_TIMEOUT(
        originLog().filter(".patch ").size() == 2, qPrintable(originLog().join('\n')), 5000);
    QCOMPARE(originLog().filter(QRegularExpression("/(welor.exe|raporty.dll) ")).size(), 2);
    const QStringList signatureFetches = originLog().filter("/aktualizacje.txt.sig ");
    QCOMPARE(signatureFetches.size(), 2);
    for (const QString &line : signatureFetches)
        QVERIFY2(line.endsWith("cache-control=no-cache"), qPrintable(line));
    QCOMPARE(originLog().filter("/mapy.dat ").size(), 1);

    // The first address refuses connections: the same update comes from the second.
    QVERIFY(writeFile(temp.path() + "/second/welor.exe", main1));
    QVERIFY(writeFile(temp.path() + "/second/plugins/raporty.dll", plugin1));
    QVERIFY(QDir::setCurrent(temp.path() + "/second"));
    QCOMPARE(update(closedAddress() + ";" + squid.baseUrl(), release1), successText);
    QCOMPARE(readFile("welor.exe"), main2);
    QCOMPARE(readFile("plugins/raporty.dll"), plugin2);
    QCOMPARE(readFile("plugins/mapy.dat"), maps);
    QVERIFY(QDir::setCurrent(temp.path()));
}

QTEST_MAIN(TestE2eSquid)
#include "tst_e2e_squid.moc"
