#include "dialog/updatedialog.h"
#include "dialogprobe.h"
#include "httpserver.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QHostAddress>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>

#include <memory>

namespace {

const QString listFileName = QStringLiteral("aktualizacje.txt");
const QString errorText = QStringLiteral("Wystąpił błąd. Aktualizacja nie zostanie zakończona");
const QString successText = QStringLiteral("Aktualizacja zakończona pomyślnie");
const QString problemsText = QStringLiteral("Wystąpiły problemy podczas aktualizowania plików.\n\n"
                                            "Niektóre komponenty mogły zostać niezaktualizowane.");
const QString listCaption = QStringLiteral("Lista elementów do aktualizacji:");
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
    return "<Modul><ver>5</ver><sha256>"
        + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + "</sha256><size>"
        + QByteArray::number(body.size()) + "</size><link>" + link.toUtf8() + "</link></Modul>\r\n";
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

struct Response
{
    int status = 200;
    QByteArray body;
    QByteArray location;
};

// A minimal HTTP/1.1 server behind TLS on 127.0.0.1: one request per connection, answered from
// a table of paths.
class TlsServer : public QObject
{
public:
    TlsServer(const QSslCertificate &certificate, const QSslKey &key)
    {
        QSslConfiguration configuration;
        configuration.setLocalCertificate(certificate);
        configuration.setPrivateKey(key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        server.setSslConfiguration(configuration);
        server.setHandshakeTimeout(waitMs);
        connect(&server, &QSslServer::startedEncryptionHandshake, this, [this] { ++handshakes; });
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] { accept(); });
        server.listen(QHostAddress::LocalHost, 0);
    }

    bool isListening() const { return server.isListening(); }
    QString base() const { return QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort()); }
    void setResponse(const QString &path, const Response &response)
    {
        responses.insert(path, response);
    }
    int requests() const { return int(log.size()); }
    int requests(const QString &path) const { return int(log.count(path)); }

    int handshakes = 0;

private:
    void accept()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto input = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, socket,
                [this, socket, input] { serve(socket, *input); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            serve(socket, *input);
        }
    }

    void serve(QTcpSocket *socket, QByteArray &input)
    {
        if (input.contains("\r\n\r\n"))
            return;
        input += socket->readAll();
        if (!input.contains("\r\n\r\n"))
            return;
        const QString path
            = QString::fromLatin1(input.left(input.indexOf("\r\n")).split(' ').value(1));
        log.append(path);
        const Response response = responses.value(path, Response {404, "not found", {}});
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status)
            + " X\r\nContent-Length: " + QByteArray::number(response.body.size())
            + "\r\nConnection: close\r\n";
        if (!response.location.isEmpty())
            out += "Location: " + response.location + "\r\n";
        socket->write(out + "\r\n" + response.body);
        socket->disconnectFromHost();
    }

    QSslServer server;
    QHash<QString, Response> responses;
    QStringList log;
};

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
    bool openssl(const QStringList &arguments);
    void trustTestCa();
    void addCertificateRows();
    void startDetached(UpdateDialog &dialog);
    void downloadAll(UpdateDialog &dialog);

    QTemporaryDir certificates;
    QSslConfiguration originalConfiguration;
    QSslCertificate caCertificate;
    QSslKey serverKey;
    QHash<QString, QSslCertificate> serverCertificates;
    std::unique_ptr<QTemporaryDir> workDir;
    QString savedCurrentPath;
};

bool TestHttps::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(certificates.path());
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(waitMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning("openssl %s failed: %s %s", qPrintable(arguments.join(QLatin1Char(' '))),
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

    QVERIFY(certificates.isValid());
    QFile config(certificates.filePath(QStringLiteral("openssl.cnf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(opensslConfig);
    config.close();

    const QStringList ecKey
        = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const QStringList common = {QStringLiteral("-config"), QStringLiteral("openssl.cnf"),
        QStringLiteral("-days"), QStringLiteral("2")};
    QVERIFY(
        openssl(QStringList {QStringLiteral("req"), QStringLiteral("-x509"),
                    QStringLiteral("-extensions"), QStringLiteral("ca"), QStringLiteral("-keyout"),
                    QStringLiteral("ca.key"), QStringLiteral("-out"), QStringLiteral("ca.pem"),
                    QStringLiteral("-subj"), QStringLiteral("/CN=Aktualizator test CA")}
            + ecKey + common));
    QVERIFY(openssl(
        QStringList {QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-config"),
            QStringLiteral("openssl.cnf"), QStringLiteral("-keyout"), QStringLiteral("server.key"),
            QStringLiteral("-out"), QStringLiteral("server.csr"), QStringLiteral("-subj"),
            QStringLiteral("/CN=127.0.0.1")}
        + ecKey));
    // Qt still matches the common name when the certificate has alternative names, so the
    // certificate for another host names it there too.
    QVERIFY(openssl(QStringList {QStringLiteral("req"), QStringLiteral("-new"),
        QStringLiteral("-config"), QStringLiteral("openssl.cnf"), QStringLiteral("-key"),
        QStringLiteral("server.key"), QStringLiteral("-out"), QStringLiteral("otherhost.csr"),
        QStringLiteral("-subj"), QStringLiteral("/CN=aktualizacje.example")}));
    int serial = 2;
    for (const QString &name : {QStringLiteral("loopback"), QStringLiteral("otherhost")}) {
        QVERIFY(openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
            name == QLatin1String("loopback") ? QStringLiteral("server.csr")
                                              : QStringLiteral("otherhost.csr"),
            QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"),
            QStringLiteral("ca.key"), QStringLiteral("-set_serial"), QString::number(serial++),
            QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
            QStringLiteral("openssl.cnf"), QStringLiteral("-extensions"), name,
            QStringLiteral("-out"), name + QStringLiteral(".pem")}));
    }
    QVERIFY(openssl(
        QStringList {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-extensions"),
            QStringLiteral("selfsigned"), QStringLiteral("-key"), QStringLiteral("server.key"),
            QStringLiteral("-out"), QStringLiteral("selfsigned.pem"), QStringLiteral("-subj"),
            QStringLiteral("/CN=127.0.0.1")}
        + common));

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
    QFile keyFile(certificates.filePath(QStringLiteral("server.key")));
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    serverKey = QSslKey(keyFile.readAll(), QSsl::Ec);
    QVERIFY(!serverKey.isNull());
}

void TestHttps::init()
{
    // Every test starts from the process's own trust store; the ones that trust the test CA
    // say so.
    QSslConfiguration::setDefaultConfiguration(originalConfiguration);

    savedCurrentPath = QDir::currentPath();
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
    QVERIFY(QDir().mkdir(QStringLiteral("plugins")));
    QFile former(QStringLiteral("plugins/modul.dll"));
    QVERIFY(former.open(QIODevice::WriteOnly));
    former.write(formerContent);
}

void TestHttps::cleanup()
{
    QDir::setCurrent(savedCurrentPath);
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
    dialog.parseArguments(
        {QStringLiteral("aktualizator"), QStringLiteral("Modul::1"), QStringLiteral("detached")});
    dialog.show();
}

// Selection page, then the download run, with the ticks the list page chose.
void TestHttps::downloadAll(UpdateDialog &dialog)
{
    QPushButton *next = DialogProbe::nextButton(&dialog);
    QTRY_VERIFY_WITH_TIMEOUT(next->isEnabled(), waitMs);
    QCOMPARE(DialogProbe::caption(&dialog)->text(), listCaption);
    next->click();
    const QList<QCheckBox *> boxes = DialogProbe::checkBoxes(&dialog);
    QCOMPARE(boxes.size(), 1);
    QVERIFY(boxes.first()->isChecked());
    next->click();
}

void TestHttps::trustedServerListAndDownload()
{
    trustTestCa();
    TlsServer server(serverCertificates.value(QStringLiteral("loopback")), serverKey);
    QVERIFY(server.isListening());
    const QByteArray body = componentBody();
    server.setResponse(QStringLiteral("/aktualizacje.txt"),
        {200, listLine(server.base() + QStringLiteral("/pliki/modul.dll"), body), {}});
    server.setResponse(QStringLiteral("/pliki/modul.dll"), {200, body, {}});

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    UpdateDialog dialog(nullptr, server.base());
    startDetached(dialog);
    downloadAll(dialog);
    if (QTest::currentTestFailed())
        return;

    QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), successText, waitMs);
    QCOMPARE(readFile(QStringLiteral("plugins/modul.dll")), body);
    QCOMPARE(server.requests(QStringLiteral("/aktualizacje.txt")), 1);
    QCOMPARE(server.requests(QStringLiteral("/pliki/modul.dll")), 1);
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

    TlsServer server(serverCertificates.value(certificate), serverKey);
    QVERIFY(server.isListening());
    const QByteArray body = componentBody();
    server.setResponse(QStringLiteral("/aktualizacje.txt"),
        {200, listLine(server.base() + QStringLiteral("/pliki/modul.dll"), body), {}});

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    UpdateDialog dialog(nullptr, server.base());
    startDetached(dialog);

    QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), errorText, waitMs);
    QVERIFY(!DialogProbe::nextButton(&dialog)->isEnabled());
    QVERIFY(!DialogProbe::checkButton(&dialog)->isEnabled());
    // The client reached the server but refused it during the handshake: no request went out.
    QVERIFY(server.handshakes >= 1);
    QCOMPARE(server.requests(), 0);
    QVERIFY(!QFile::exists(listFileName));
    QCOMPARE(readFile(QStringLiteral("plugins/modul.dll")), formerContent);
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

    TlsServer tlsServer(serverCertificates.value(certificate), serverKey);
    QVERIFY(tlsServer.isListening());
    const QByteArray body = componentBody();
    tlsServer.setResponse(QStringLiteral("/pliki/modul.dll"), {200, body, {}});
    HttpServer listServer;
    QVERIFY(listServer.isListening());
    listServer.setBody(QStringLiteral("/aktualizacje.txt"),
        listLine(tlsServer.base() + QStringLiteral("/pliki/modul.dll"), body));

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    UpdateDialog dialog(nullptr, listServer.baseUrl());
    startDetached(dialog);
    downloadAll(dialog);
    if (QTest::currentTestFailed())
        return;

    QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), problemsText, waitMs);
    QCOMPARE(readFile(QStringLiteral("plugins/modul.dll")), formerContent);
    QVERIFY(tlsServer.handshakes >= 1);
    QCOMPARE(tlsServer.requests(), 0);
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

    TlsServer tlsServer(serverCertificates.value(QStringLiteral("loopback")), serverKey);
    QVERIFY(tlsServer.isListening());
    HttpServer plainServer;
    QVERIFY(plainServer.isListening());
    const QByteArray body = componentBody();
    const QString target = QStringLiteral("/pliki/modul.dll");
    tlsServer.setResponse(target, {200, body, {}});
    plainServer.setBody(target, body);
    const QString location = (toPlainHttp ? plainServer.baseUrl() : tlsServer.base()) + target;
    tlsServer.setResponse(QStringLiteral("/stare/modul.dll"), {302, "moved", location.toUtf8()});
    tlsServer.setResponse(QStringLiteral("/aktualizacje.txt"),
        {200, listLine(tlsServer.base() + QStringLiteral("/stare/modul.dll"), body), {}});

    MessageBoxAnswerer answerer(QMessageBox::Ok);
    UpdateDialog dialog(nullptr, tlsServer.base());
    startDetached(dialog);
    downloadAll(dialog);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(tlsServer.requests(QStringLiteral("/aktualizacje.txt")), 1);
    if (toPlainHttp) {
        QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), problemsText, waitMs);
        QCOMPARE(readFile(QStringLiteral("plugins/modul.dll")), formerContent);
        QCOMPARE(plainServer.totalRequests(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(DialogProbe::statusText(&dialog), successText, waitMs);
        QCOMPARE(readFile(QStringLiteral("plugins/modul.dll")), body);
        QCOMPARE(tlsServer.requests(target), 1);
    }
    QCOMPARE(tlsServer.requests(QStringLiteral("/stare/modul.dll")), 1);
    QCOMPARE(answerer.count(), 0);
}

QTEST_MAIN(TestHttps)
#include "tst_https.moc"
