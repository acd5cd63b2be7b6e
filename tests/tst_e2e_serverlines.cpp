// The README's server settings as a publisher copies them: each block is taken out of README.md
// by its fence ("```nginx server-lines") and used as written. nginx, Apache and lighttpd serve a
// release under /welor/ with them, and Squid's recipe in front of nginx hands out a new list as
// soon as it is uploaded, however long the last one lay unchanged.

#include "childserver.h"
#include "testutil.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <unistd.h>

namespace {

// The one block of README.md whose fence reads "```LANGUAGE server-lines", as it reads rendered
// (without the fence's indentation in a list); empty when there is none, or more than one.
QString readmeBlock(const QString &language)
{
    const QStringList lines = QString::fromUtf8(readFile(README_FILE)).split('\n');
    QStringList blocks;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines.at(i).trimmed() != "```" + language + " server-lines")
            continue;
        const QString indent = lines.at(i).left(lines.at(i).indexOf('`'));
        QString block;
        while (++i < lines.size() && lines.at(i).trimmed() != "```")
            block += (lines.at(i).startsWith(indent) ? lines.at(i).mid(indent.size()) : lines.at(i))
                + '\n';
        blocks.append(block);
    }
    return blocks.size() == 1 ? blocks.constFirst() : QString();
}

// A server program as the test runs it: its configuration ("%PORT" for the port it gets), the
// arguments that only check that configuration, and those that serve in the foreground.
struct Program
{
    QString path;
    QString config;
    QStringList check;
    QStringList serve;
};

// The README's block in what a Debian installation around it would hold, with everything the
// server writes in `dir`. For Squid, `root` is the origin's port.
Program programFor(
    const QString &kind, const QString &dir, const QString &root, const QString &block)
{
    const QString conf = dir + "/server.conf";
    if (kind == "nginx") {
        const QStringList run {
            "-p", dir, "-c", conf, "-e", dir + "/error.log", "-g", "daemon off;"};
        return {"/usr/sbin/nginx",
            QStringLiteral(
                "%1worker_processes 1;\npid %2/nginx.pid;\nevents {}\nhttp {\n"
                "include /etc/nginx/mime.types;\ndefault_type application/octet-stream;\n"
                "access_log %2/access.log;\nclient_body_temp_path %2/body;\n"
                "proxy_temp_path %2/proxy;\nfastcgi_temp_path %2/fastcgi;\n"
                "uwsgi_temp_path %2/uwsgi;\nscgi_temp_path %2/scgi;\n"
                "server {\nlisten 127.0.0.1:%PORT;\nroot %3;\n%4}\n}\n")
                .arg(::geteuid() == 0 ? "user root;\n" : "", dir, root, block),
            QStringList {"-t"} + run, run};
    }
    if (kind == "apache") {
        QString config;
        for (const char *module : {"mpm_event", "authz_core", "mime", "headers"})
            config += QStringLiteral("LoadModule %1_module /usr/lib/apache2/modules/mod_%1.so\n")
                          .arg(module);
        config += QStringLiteral("ServerName 127.0.0.1\nListen 127.0.0.1:%PORT\n"
                                 "PidFile %1/apache.pid\nErrorLog %1/error.log\n"
                                 "DefaultRuntimeDir %1\nUser www-data\nGroup www-data\n"
                                 "TypesConfig /etc/mime.types\nDocumentRoot %2\n"
                                 "<Directory %2>\nRequire all granted\n</Directory>\n%3")
                      .arg(dir, root, block);
        return {"/usr/sbin/apache2", config, {"-t", "-f", conf}, {"-f", conf, "-DFOREGROUND"}};
    }
    if (kind == "lighttpd") {
        // Debian's lighttpd calls every text file UTF-8.
        return {"/usr/sbin/lighttpd",
            QStringLiteral("server.document-root = \"%1\"\nserver.bind = \"127.0.0.1\"\n"
                           "server.port = %PORT\nserver.errorlog = \"%2/error.log\"\n"
                           "mimetype.assign = (\".txt\" => \"text/plain; charset=utf-8\")\n%3")
                .arg(root, dir, block),
            {"-tt", "-f", conf}, {"-D", "-f", conf}};
    }
    // The recipe's own ports, 80 and the origin's 8080, are the only things the test changes.
    return {"/usr/sbin/squid",
        QString(block)
                .replace("http_port 80 ", "http_port 127.0.0.1:%PORT ")
                .replace(" parent 8080 ", " parent " + root + " ")
            + QStringLiteral("pid_filename %1/squid.pid\naccess_log stdio:%1/access.log\n"
                             "cache_log %1/error.log\ncache_store_log none\ncoredump_dir %1\n"
                             "pinger_enable off\nvisible_hostname aktualizator-e2e\n"
                             "shutdown_lifetime 0 seconds\n")
                  .arg(dir),
        {"-k", "parse", "-f", conf}, {"-N", "-f", conf}};
}

// Starts the program on a free port of 127.0.0.1 once its own check passed the configuration.
// Empty on success, otherwise why not.
QString start(ChildServer &server, const Program &program, const QString &dir)
{
    return server.start([&]() -> QString {
        const QString config
            = QString(program.config).replace("%PORT", QString::number(server.port()));
        if (!writeFile(dir + "/server.conf", config.toUtf8()))
            return "cannot write into " + dir;
        const ProgramRun checked = runProgram(program.path, program.check, 30000);
        if (checked.exitCode != 0)
            return QStringLiteral("%1 refuses its configuration:\n%2%3\n%4")
                .arg(program.path, QString::fromLocal8Bit(checked.out), checked.err, config);
        const QString why = server.launch(program.path, program.serve);
        if (!why.isEmpty())
            return why;
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && !server.process().waitForFinished(100)) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, server.port());
            if (probe.waitForConnected(200))
                return {};
        }
        server.stop();
        return QStringLiteral("%1 did not serve on port %2:\n%3%4")
            .arg(program.path, QString::number(server.port()),
                QString::fromLocal8Bit(server.process().readAll()),
                QString::fromLocal8Bit(readFile(dir + "/error.log")));
    });
}

// What curl prints for these arguments (a body, or with -I a head in lower case), or why not.
QByteArray curl(const QStringList &arguments)
{
    const ProgramRun run = runProgram("curl", QStringList {"-sS", "-m", "10"} + arguments, 20000);
    if (run.exitCode != 0)
        return "curl failed: " + run.err.toUtf8();
    return arguments.contains("-I") ? run.out.toLower() : run.out;
}

// Release n of one plug-in, published under www/welor/ in `temp` content-addressed, as
// make-list writes it, with a .sig beside the list. Gives the plug-in's path below /welor/.
QString publish(const QString &temp, int n)
{
    const QString files = temp + "/r" + QString::number(n);
    const QByteArray plugin = randomBytes(100000, quint32(n));
    if (!QDir().mkpath(files) || !writeFile(files + "/raporty.dll", plugin)
        || !writeFile(
            temp + "/manifest.txt", "Raporty " + QByteArray::number(n) + " raporty.dll\n"))
        return "cannot write release files";
    const ProgramRun made = runProgram(MAKE_LIST_SCRIPT,
        {files, ".", temp + "/manifest.txt", "-o", temp + "/www/welor", "--relative",
            "--content-addressed"});
    if (made.exitCode != 0
        || !writeFile(temp + "/www/welor/aktualizacje.txt.sig", "release " + QByteArray::number(n)))
        return made.err;
    return QString::fromLatin1(sha256Hex(plugin)) + "/raporty.dll";
}

} // namespace

class TestE2eServerLines : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void serves_data();
    void serves();
    void squidInFront();

private:
    // Servers as root hand the files to their own users, who must reach them.
    bool prepare(TemporaryWorkingDirectory &temp, const QStringList &servers);
};

void TestE2eServerLines::initTestCase()
{
    for (const char *tool : {"curl", "python3"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(QString("%1 is missing (scripts/test installs it)").arg(tool)));
    }
}

bool TestE2eServerLines::prepare(TemporaryWorkingDirectory &temp, const QStringList &servers)
{
    bool made = temp.isValid()
        && QFile::setPermissions(temp.path(), QFileDevice::Permissions(0x7755))
        && QDir().mkpath(temp.path() + "/www/welor/pliki");
    for (const QString &server : servers) {
        made = made && QDir().mkpath(temp.filePath(server))
            && QFile::setPermissions(temp.filePath(server), QFileDevice::Permissions(0x7777));
    }
    return made;
}

void TestE2eServerLines::serves_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"nginx", "apache", "lighttpd"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void TestE2eServerLines::serves()
{
    QFETCH(QString, kind);
    const QString block = readmeBlock(kind);
    QVERIFY2(!block.isEmpty(), "README.md must hold one block fenced \"```KIND server-lines\"");
    TemporaryWorkingDirectory temp;
    QVERIFY(prepare(temp, {kind}));
    const Program program = programFor(kind, temp.filePath(kind), temp.filePath("www"), block);
    if (!QFile::exists(program.path))
        QSKIP(qPrintable(program.path + " is missing (scripts/test installs it)"));
    const QString hashed = publish(temp.path(), 1);
    QVERIFY2(hashed.endsWith("/raporty.dll"), qPrintable(hashed));
    const QString welor = temp.filePath("www/welor/");
    QVERIFY(QFile::copy(welor + "aktualizacje.txt", welor + "aktualizator.txt"));
    QVERIFY(QFile::copy(welor + "aktualizacje.txt.sig", welor + "aktualizator.txt.sig"));
    QVERIFY(writeFile(welor + "pliki/welor.exe", "published the plain way"));
    ChildServer server(10000);
    const QString why = start(server, program, temp.filePath(kind));
    QVERIFY2(why.isEmpty(), qPrintable(why));

    const QByteArray noCache = "no-cache";
    const QList<QPair<QString, QByteArray>> expected {{"aktualizacje.txt", noCache},
        {"aktualizacje.txt.sig", noCache}, {"aktualizator.txt", noCache},
        {"aktualizator.txt.sig", noCache}, {hashed, "public, max-age=31536000, immutable"},
        {"pliki/welor.exe", {}}};
    for (const auto &[path, cacheControl] : expected) {
        const QByteArray head = curl({"-I", server.baseUrl() + "/welor/" + path});
        QVERIFY2(head.startsWith("http/1.1 200 ") && head.count("cache-control") <= 1,
            qPrintable(path + ":\n" + head));
        QVERIFY2(
            head.contains("\ncache-control: " + cacheControl + "\r") == !cacheControl.isEmpty(),
            qPrintable(path + ":\n" + head));
        if (path.endsWith(".txt"))
            QVERIFY2(head.contains("\ncontent-type: text/plain; charset=windows-1250\r"),
                qPrintable(path + ":\n" + head));
    }
}

void TestE2eServerLines::squidInFront()
{
    const QString nginxLines = readmeBlock("nginx");
    const QString recipe = readmeBlock("squid");
    QVERIFY2(!nginxLines.isEmpty() && recipe.contains("http_port 80 ")
            && recipe.contains(" parent 8080 "),
        "README.md must hold one nginx block and one Squid recipe from port 80 to 8080");
    TemporaryWorkingDirectory temp;
    QVERIFY(prepare(temp, {"nginx", "squid"}));
    const Program nginx
        = programFor("nginx", temp.filePath("nginx"), temp.filePath("www"), nginxLines);
    for (const QString &program : {nginx.path, QStringLiteral("/usr/sbin/squid")}) {
        if (!QFile::exists(program))
            QSKIP(qPrintable(program + " is missing (scripts/test installs it)"));
    }
    // A list that has not changed for days looks fresh for a day or two to a cache that guesses.
    const QString welor = temp.filePath("www/welor/");
    const QString hashed = publish(temp.path(), 1);
    QVERIFY2(hashed.endsWith("/raporty.dll"), qPrintable(hashed));
    QCOMPARE(runProgram("touch",
                 {"-d", "10 days ago", welor + "aktualizacje.txt", welor + "aktualizacje.txt.sig"})
                 .exitCode,
        0);
    ChildServer origin(10000);
    QString why = start(origin, nginx, temp.filePath("nginx"));
    QVERIFY2(why.isEmpty(), qPrintable(why));
    ChildServer squid(15000);
    why = start(squid,
        programFor("squid", temp.filePath("squid"), QString::number(origin.port()), recipe),
        temp.filePath("squid"));
    QVERIFY2(why.isEmpty(), qPrintable(why));

    // Fetched the way browsers and older updaters do, without asking past the cache.
    const QString list = squid.baseUrl() + "/welor/aktualizacje.txt";
    QCOMPARE(curl({list}), readFile(welor + "aktualizacje.txt"));
    QCOMPARE(curl({list + ".sig"}), QByteArray("release 1"));
    QCOMPARE(curl({"-o", "/dev/null", squid.baseUrl() + "/welor/" + hashed}), QByteArray());
    const QByteArray again = curl({"-I", squid.baseUrl() + "/welor/" + hashed});
    QVERIFY2(again.contains("\nx-cache: hit "), again.constData());

    const QString published = publish(temp.path(), 2);
    QVERIFY2(published.endsWith("/raporty.dll"), qPrintable(published));
    QCOMPARE(curl({list}), readFile(welor + "aktualizacje.txt"));
    QCOMPARE(curl({list + ".sig"}), QByteArray("release 2"));
}

QTEST_GUILESS_MAIN(TestE2eServerLines)
#include "tst_e2e_serverlines.moc"
