#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "httpserver.h"
#include "testutil.h"

#include <QtTest>

#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

#include <memory>

namespace {

const QString listPath = QStringLiteral("/aktualizacje.txt");
const QString pluginPath = QStringLiteral("plugins/modul.dll");
const QString componentPath = QStringLiteral("/pliki/modul.dll");
const QByteArray formerContent = "poprzednia wersja modułu";
constexpr int waitMs = 30000;

// One self-contained openssl configuration, so that the system's openssl.cnf does not matter.
const char opensslConfig[] = R"(
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[loopback]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1
authorityKeyIdentifier = keyid
[otherhost]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:aktualizacje.example,IP:127.0.0.2
authorityKeyIdentifier = keyid
[selfsigned]
basicConstraints = CA:FALSE
subjectAltName = IP:127.0.0.1
)";

QByteArray componentBody()
{
    QByteArray body(200 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < body.size(); ++i)
        body[i] = char((i * 2654435761u) >> 24);
    return body;
}

QByteArray listLine(const QString &link, const QByteArray &body)
{
    return "<Modul><ver>5</ver><sha256>" + sha256Hex(body) + "</sha256><size>"
        + QByteArray::number(body.size()) + "</size><link>" + link.toUtf8() + "</link></Modul>\r\n";
}

} // namespace

class TestHttps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void trustedServerListAndDownload();
    void rejectedListFetch_data();
    void rejectedListFetch();
    void rejectedComponent_data();
    void rejectedComponent();
    void redirect_data();
    void redirect();

private:
    // Runs openssl in the certificate directory; the subject is kept apart as it holds blanks.
    bool openssl(const QString &arguments, const QString &subject = {});
    void trustTestCa();
    void addCertificateRows();
    void startDetached(UpdateDialog &dialog);
    void downloadAll(UpdateDialog &dialog);

    QTemporaryDir certificates;
    QSslConfiguration originalConfiguration;
    QSslCertificate caCertificate;
    QSslKey serverKey;
    QHash<QString, QSslCertificate> serverCertificates;
    std::unique_ptr<TemporaryWorkingDirectory> workDir;
};

bool TestHttps::openssl(const QString &arguments, const QString &subject)
{
    QStringList list = arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!subject.isEmpty())
        list << QStringLiteral("-subj") << subject;
    QProcess process;
    process.setWorkingDirectory(certificates.path());
    process.start(QStringLiteral("openssl"), list);
    if (!process.waitForFinished(waitMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning("openssl %s failed: %s %s", qPrintable(list.join(QLatin1Char(' '))),
            qPrintable(process.errorString()), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

void TestHttps::initTestCase()
{
    // Qt's TLS comes from a backend plugin; without it every https transfer would fail and the
    // rejection tests would pass for the wrong reason.
    QVERIFY2(QSslSocket::supportsSsl(),
        qPrintable(QStringLiteral("no TLS backend (available: %1); Debian ships Qt's OpenSSL "
                                  "backend (plugins/tls/libqopensslbackend.so) in libqt6network6")
                       .arg(QSslSocket::availableBackends().join(QLatin1String(", ")))));
    originalConfiguration = QSslConfiguration::defaultConfiguration();
#ifdef Q_OS_WIN
    // Only here, after the check that Schannel's backend loads.
    QSKIP("The test CA and server certificates are made with the openssl command-line program, "
          "which the Windows test machine (Wine) does not have");
#endif

    QVERIFY(certificates.isValid());
    QVERIFY(writeFile(certificates.filePath(QStringLiteral("openssl.cnf")), opensslConfig));

    const QString ecKey
        = QStringLiteral(" -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes");
    const QString common = QStringLiteral(" -config openssl.cnf -days 2");
    QVERIFY(openssl("req -x509 -extensions ca -keyout ca.key -out ca.pem" + ecKey + common,
        QStringLiteral("/CN=Aktualizator test CA")));
    QVERIFY(openssl("req -new -config openssl.cnf -keyout server.key -out server.csr" + ecKey,
        QStringLiteral("/CN=127.0.0.1")));
    // Qt still matches the common name when the certificate has alternative names, so the
    // certificate for another host names it there too.
    QVERIFY(
        openssl(QStringLiteral("req -new -config openssl.cnf -key server.key -out otherhost.csr"),
            QStringLiteral("/CN=aktualizacje.example")));
    QVERIFY(openssl(
        QStringLiteral("x509 -req -in server.csr -CA ca.pem -CAkey ca.key -set_serial 2 "
                       "-days 2 -extfile openssl.cnf -extensions loopback -out loopback.pem")));
    QVERIFY(openssl(
        QStringLiteral("x509 -req -in otherhost.csr -CA ca.pem -CAkey ca.key -set_serial 3 "
                       "-days 2 -extfile openssl.cnf -extensions otherhost -out otherhost.pem")));
    QVERIFY(openssl("req -x509 -extensions selfsigned -key server.key -out selfsigned.pem" + common,
        QStringLiteral("/CN=127.0.0.1")));

    const auto pemCertificate = [this](const QString &name) {
        return QSslCertificate::fromPath(certificates.filePath(name + QStringLiteral(".pem")))
            .value(0);
    };
    caCertificate = pemCertificate(QStringLiteral("ca"));
    QVERIFY(!caCertificate.isNull());
    for (const QString &name :
        {QStringLiteral("loopback"), QStringLiteral("otherhost"), QStringLiteral("selfsigned")}) {
        serverCertificates.insert(name, pemCertificate(name));
        QVERIFY2(!serverCertificates.value(name).isNull(), qPrintable(name));
    }
    serverKey = QSslKey(readFile(certificates.filePath(QStringLiteral("server.key"))), QSsl::Ec);
    QVERIFY(!serverKey.isNull());
}

void TestHttps::init()
{
    // Every test starts from the process's own trust store; the ones that trust the test CA
    // say so.
    QSslConfiguration::setDefaultConfiguration(originalConfiguration);

    workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir().mkdir(QStringLiteral("plugins")));
    QVERIFY(writeFile(pluginPath, formerContent));
}

void TestHttps::cleanup()
{
    workDir.reset();
    QSslConfiguration::setDefaultConfiguration(originalConfiguration);
}

void TestHttps::trustTestCa()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(caCertificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void TestHttps::startDetached(UpdateDialog &dialog)
{
    dialog.parseArguments({"aktualizator", "Modul::1", "detached"});
    dialog.show();
}

// Selection page, then the download run, with the ticks the list page chose.
void TestHttps::downloadAll(UpdateDialog &dialog)
{
    DialogFlow::toSelection(&dialog, waitMs);
    const QList<QCheckBox *> boxes = DialogProbe::checkBoxes(&dialog);
    QCOMPARE(boxes.size(), 1);
    QVERIFY(boxes.first()->isChecked());
    DialogProbe::nextButton(&dialog)->click();
}

void TestHttps::trustedServerListAndDownload()
{
    trustTestCa();
    HttpServer server(serverCertificates.value(QStringLiteral("loopback")), serverKey);
    QVERIFY(server.isListening());
    const QByteArray body = componentBody();
    server.setBody(listPath, listLine(server.baseUrl() + componentPath, body));
    server.setBody(componentPath, body);

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    UpdateDialog dialog(nullptr, server.baseUrl());
    startDetached(dialog);
    downloadAll(dialog);
    if (QTest::currentTestFailed())
        return;

    QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), successText, waitMs);
    QCOMPARE(readFile(pluginPath), body);
    QCOMPARE(server.requestCount(listPath), 1);
    QCOMPARE(server.requestCount(componentPath), 1);
    QVERIFY(!QFile::exists(listFileName));
    QCOMPARE(answerer.count(), 0);
}

void TestHttps::addCertificateRows()
{
    QTest::addColumn<bool>("trustCa");
    QTest::addColumn<QString>("certificate");
    QTest::newRow("CA not trusted") << false << QStringLiteral("loopback");
    QTest::newRow("certificate for another host") << true << QStringLiteral("otherhost");
    QTest::newRow("self-signed certificate") << true << QStringLiteral("selfsigned");
}

void TestHttps::rejectedListFetch_data()
{
    addCertificateRows();
}

void TestHttps::rejectedListFetch()
{
    QFETCH(bool, trustCa);
    QFETCH(QString, certificate);
    if (trustCa)
        trustTestCa();

    HttpServer server(serverCertificates.value(certificate), serverKey);
    QVERIFY(server.isListening());
    const QByteArray body = componentBody();
    server.setBody(listPath, listLine(server.baseUrl() + componentPath, body));

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    UpdateDialog dialog(nullptr, server.baseUrl());
    startDetached(dialog);

    QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), errorText, waitMs);
    QCOMPARE(DialogProbe::reasonText(&dialog),
        QStringLiteral("Nie można nawiązać bezpiecznego połączenia z serwerem aktualizacji."));
    QVERIFY(!DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    // The client reached the server but refused it during the handshake: no request went out.
    QVERIFY(server.handshakeCount() >= 1);
    QCOMPARE(server.totalRequests(), 0);
    QVERIFY(!QFile::exists(listFileName));
    QCOMPARE(readFile(pluginPath), formerContent);
    QCOMPARE(answerer.count(), 0);
}

void TestHttps::rejectedComponent_data()
{
    addCertificateRows();
}

void TestHttps::rejectedComponent()
{
    QFETCH(bool, trustCa);
    QFETCH(QString, certificate);
    if (trustCa)
        trustTestCa();

    HttpServer tlsServer(serverCertificates.value(certificate), serverKey);
    QVERIFY(tlsServer.isListening());
    const QByteArray body = componentBody();
    tlsServer.setBody(componentPath, body);
    HttpServer listServer;
    QVERIFY(listServer.isListening());
    listServer.setBody(listPath, listLine(tlsServer.baseUrl() + componentPath, body));

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    UpdateDialog dialog(nullptr, listServer.baseUrl());
    startDetached(dialog);
    downloadAll(dialog);
    if (QTest::currentTestFailed())
        return;

    QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), problemsText, waitMs);
    QCOMPARE(readFile(pluginPath), formerContent);
    QVERIFY(tlsServer.handshakeCount() >= 1);
    QCOMPARE(tlsServer.totalRequests(), 0);
    QCOMPARE(answerer.count(), 0);
}

void TestHttps::redirect_data()
{
    QTest::addColumn<bool>("toPlainHttp");
    QTest::newRow("https to https is followed") << false;
    QTest::newRow("https to http is refused") << true;
}

void TestHttps::redirect()
{
    QFETCH(bool, toPlainHttp);
    trustTestCa();

    HttpServer tlsServer(serverCertificates.value(QStringLiteral("loopback")), serverKey);
    QVERIFY(tlsServer.isListening());
    HttpServer plainServer;
    QVERIFY(plainServer.isListening());
    const QByteArray body = componentBody();
    tlsServer.setBody(componentPath, body);
    plainServer.setBody(componentPath, body);
    const QString location
        = (toPlainHttp ? plainServer.baseUrl() : tlsServer.baseUrl()) + componentPath;
    tlsServer.setRedirect(QStringLiteral("/stare/modul.dll"), location, 302, "moved");
    tlsServer.setBody(
        listPath, listLine(tlsServer.baseUrl() + QStringLiteral("/stare/modul.dll"), body));

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    UpdateDialog dialog(nullptr, tlsServer.baseUrl());
    startDetached(dialog);
    downloadAll(dialog);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(tlsServer.requestCount(listPath), 1);
    if (toPlainHttp) {
        QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), problemsText, waitMs);
        QCOMPARE(readFile(pluginPath), formerContent);
        QCOMPARE(plainServer.totalRequests(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), successText, waitMs);
        QCOMPARE(readFile(pluginPath), body);
        QCOMPARE(tlsServer.requestCount(componentPath), 1);
    }
    QCOMPARE(tlsServer.requestCount(QStringLiteral("/stare/modul.dll")), 1);
    QCOMPARE(answerer.count(), 0);
}

QTEST_MAIN(TestHttps)
#include "tst_https.moc"
