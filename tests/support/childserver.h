#pragma once

// A server program that an end-to-end test starts on loopback: in the foreground, as a child of
// the test that dies with it, on a port the kernel hands out. Linux only.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <sys/prctl.h>

#include <csignal>
#include <functional>

// Servers that cannot listen on port 0 take one the kernel hands out and give it back at once.
// Someone else may grab it in between; ChildServer::start tries again.
inline quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

class ChildServer
{
public:
    // stopGraceMs: how long the server may take to end after SIGTERM before it is killed.
    explicit ChildServer(int stopGraceMs)
        : stopGraceMs(stopGraceMs)
    { }
    ~ChildServer() { stop(); }

    // `attempt` starts the server on port(); it gives empty on success, otherwise why not. A
    // port that someone else took meanwhile is tried again with another.
    QString start(const std::function<QString()> &attempt)
    {
        QString why;
        for (int tries = 0; tries < 5; ++tries) {
            serverPort = freePort();
            if (serverPort == 0)
                return QStringLiteral("no free port on 127.0.0.1");
            why = attempt();
            if (why.isEmpty())
                return {};
            if (!why.contains("Address already in use") && !why.contains("Cannot bind"))
                break;
        }
        return why;
    }

    // Empty once the program runs, otherwise why it does not.
    QString launch(const QString &program, const QStringList &arguments)
    {
        child.setProgram(program);
        child.setArguments(arguments);
        child.setProcessChannelMode(QProcess::MergedChannels);
        // Should the test die, the server must not live on.
        child.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        child.start();
        if (!child.waitForStarted(5000))
            return "cannot run " + program + ": " + child.errorString();
        return {};
    }

    void stop()
    {
        if (child.state() == QProcess::NotRunning)
            return;
        child.terminate();
        if (!child.waitForFinished(stopGraceMs)) {
            child.kill();
            child.waitForFinished(5000);
        }
    }

    quint16 port() const { return serverPort; }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(serverPort); }
    QProcess &process() { return child; }

private:
    int stopGraceMs;
    quint16 serverPort = 0;
    QProcess child;
};
