#pragma once

// Debian's nginx for the end-to-end tests: the kind of static server the update list and the
// component files are published on. Linux only (the child dies with the test).

#include "testutil.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTcpServer>

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

inline const QString nginxProgram = QStringLiteral("/usr/sbin/nginx");
// nginx cannot listen on port 0, so take one the kernel hands out and give it back at once.
// Someone else may grab it in between; the caller retries.
inline quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// One nginx master process, kept in the foreground as a child of the test, with every path it
// writes inside its own prefix directory.
class Nginx
{
public:
    // logFormat: what each line of the access log holds, in nginx's log_format syntax.
    explicit Nginx(const QString &prefix,
        const QString &logFormat = QStringLiteral("$request_method $request_uri $status"))
        : prefix(prefix)
        , logFormat(logFormat)
    { }
    ~Nginx() { stop(); }

    // Empty on success, otherwise why nginx would not serve.
    QString start(const QString &documentRoot)
    {
        if (!QFile::exists(nginxProgram))
            return nginxProgram + " is missing (scripts/test installs nginx-light)";
        QString why;
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = freePort();
            if (port == 0)
                return "no free port on 127.0.0.1";
            why = startOn(documentRoot);
            if (why.isEmpty())
                return {};
            if (!why.contains("Address already in use"))
                break;
        }
        return why;
    }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }
    QString accessLogPath() const { return prefix + "/access.log"; }

private:
    QString startOn(const QString &documentRoot)
    {
        QFile::remove(pidPath());
        QFile::remove(errorLogPath());
        const QString conf = prefix + "/nginx.conf";
        if (!writeFile(conf, config(documentRoot).toUtf8()))
            return "cannot write " + conf;

        process.setProgram(nginxProgram);
        process.setArguments({"-p", prefix, "-c", conf, "-e", errorLogPath(), "-g", "daemon off;"});
        process.setProcessChannelMode(QProcess::MergedChannels);
        // Should the test die, nginx must not live on.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.start();
        if (!process.waitForStarted(5000))
            return "cannot run " + nginxProgram + ": " + process.errorString();

        // The pid file appears only after every listening socket is bound, so a port taken by
        // someone else never passes for nginx's.
        const QByteArray pid = QByteArray::number(process.processId());
        QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired()) {
            if (readFile(pidPath()).trimmed() == pid)
                return {};
            if (process.waitForFinished(50))
                break;
        }
        stop();
        return QStringLiteral("nginx did not start on port %1:\n%2%3")
            .arg(port)
            .arg(QString::fromLocal8Bit(process.readAll()),
                QString::fromLocal8Bit(readFile(errorLogPath())));
    }

    QString config(const QString &documentRoot) const
    {
        QString text;
        // Started by root, the workers would otherwise run as "nobody", who cannot read the
        // private temporary directories. Started by anyone else, they run as that user anyway.
        if (::geteuid() == 0)
            text += "user root;\n";
        text += QStringLiteral("worker_processes 1;\n"
                               "pid %1/nginx.pid;\n"
                               "events { worker_connections 64; }\n"
                               "http {\n"
                               "    default_type application/octet-stream;\n"
                               "    log_format e2e '%4';\n"
                               "    access_log %1/access.log e2e;\n"
                               "    client_body_temp_path %1/body;\n"
                               "    proxy_temp_path %1/proxy;\n"
                               "    fastcgi_temp_path %1/fastcgi;\n"
                               "    uwsgi_temp_path %1/uwsgi;\n"
                               "    scgi_temp_path %1/scgi;\n"
                               "    sendfile on;\n"
                               "    server {\n"
                               "        listen 127.0.0.1:%2;\n"
                               "        root %3;\n"
                               "    }\n"
                               "}\n")
                    .arg(prefix)
                    .arg(port)
                    .arg(documentRoot)
                    .arg(logFormat);
        return text;
    }

    QString pidPath() const { return prefix + "/nginx.pid"; }
    QString errorLogPath() const { return prefix + "/error.log"; }

    QString prefix;
    QString logFormat;
    quint16 port = 0;
    QProcess process;
};
