#pragma once

// Debian's nginx for the end-to-end tests: the kind of static server the update list and the
// component files are published on. Linux only (the child dies with the test).

#include "childserver.h"
#include "testutil.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QString>

#include <unistd.h>

inline const QString nginxProgram = QStringLiteral("/usr/sbin/nginx");

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

    // Empty on success, otherwise why nginx would not serve.
    QString start(const QString &documentRoot)
    {
        if (!QFile::exists(nginxProgram))
            return nginxProgram + " is missing (scripts/test installs nginx-light)";
        return server.start([&] { return startOn(documentRoot); });
    }

    void stop() { server.stop(); }
    QString baseUrl() const { return server.baseUrl(); }
    QString accessLogPath() const { return prefix + "/access.log"; }

private:
    QString startOn(const QString &documentRoot)
    {
        QFile::remove(pidPath());
        QFile::remove(errorLogPath());
        const QString conf = prefix + "/nginx.conf";
        if (!writeFile(conf, config(documentRoot).toUtf8()))
            return "cannot write " + conf;
        const QString why = server.launch(
            nginxProgram, {"-p", prefix, "-c", conf, "-e", errorLogPath(), "-g", "daemon off;"});
        if (!why.isEmpty())
            return why;

        // The pid file appears only after every listening socket is bound, so a port taken by
        // someone else never passes for nginx's.
        QProcess &process = server.process();
        const QByteArray pid = QByteArray::number(process.processId());
        QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired()) {
            if (readFile(pidPath()).trimmed() == pid)
                return {};
            if (process.waitForFinished(50))
                break;
        }
        server.stop();
        return QStringLiteral("nginx did not start on port %1:\n%2%3")
            .arg(server.port())
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
                    .arg(server.port())
                    .arg(documentRoot)
                    .arg(logFormat);
        return text;
    }

    QString pidPath() const { return prefix + "/nginx.pid"; }
    QString errorLogPath() const { return prefix + "/error.log"; }

    QString prefix;
    QString logFormat;
    ChildServer server {10000};
};
