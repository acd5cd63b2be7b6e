#include "updaterselfcheck.h"

#include "selflog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

namespace {

constexpr int selfCheckTimeoutMs = 10000;

} // namespace

bool runUpdaterSelfCheck(const QString &program, const QString &folder, int timeoutMs, QString *why)
{
    QString reason;
    QProcess process;
    process.setProgram(program);
    process.setArguments({QStringLiteral("--self-check")});
    process.setWorkingDirectory(folder);
    // The plug-ins must be the ones beside the new updater, as at its next real start.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_PLUGIN_PATH"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH"));
    process.setProcessEnvironment(environment);
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs)) {
        reason = QStringLiteral("did not start: ") + process.errorString();
    } else if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(-1);
        reason = QStringLiteral("did not end within %1 ms").arg(timeoutMs);
    } else if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        reason = QStringLiteral("ended with status %1").arg(process.exitCode());
    } else if (!process.readAllStandardOutput().isEmpty()) {
        reason = QStringLiteral("wrote to standard output");
    }
    if (why)
        *why = reason;
    return reason.isEmpty();
}

std::function<bool()> ownUpdaterSelfCheck(const QString &folder)
{
    const QString program
        = QDir(folder).filePath(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    return [program, folder] {
        QElapsedTimer clock;
        clock.start();
        QString why;
        const bool works = runUpdaterSelfCheck(program, folder, selfCheckTimeoutMs, &why);
        if (works)
            qCInfo(lcSelf) << "the new updater passed its self-check in" << clock.elapsed() << "ms";
        else
            qCWarning(lcSelf).noquote() << "the new updater" << program << why;
        return works;
    };
}
