#include "updatesession.h"

#include "filefailure.h"
#include "runlog.h"

#include <QNetworkAccessManager>

UpdateSession::UpdateSession(const QString &serverBase, QObject *parent)
    : QObject(parent)
    , serverBase(serverBase)
{ }

UpdateSession::~UpdateSession()
{
    // A check or run still under way stops without calling back, and drops its unfinished file
    // so that the installed one stays as it was; so does a renewal of the updater's own files
    // that has not begun to swap.
    releaseChild(selfUpdate, this);
    releaseChild(downloadRun, this);
    releaseChild(listFetcher, this);
}

void UpdateSession::ensureNetwork()
{
    if (!manager)
        manager = new QNetworkAccessManager(this);
}

bool UpdateSession::checkForUpdates()
{
    if (listFetcher || downloadRun)
        return false;
    ensureNetwork();
    listFetcher = new UpdateListFetcher(serverBase, publicKey, transferPolicy, this);
    connect(
        listFetcher, &UpdateListFetcher::transferStarted, this, &UpdateSession::transferStarted);
    connect(listFetcher, &UpdateListFetcher::finished, this, &UpdateSession::listFinished);
    listFetcher->start(manager);
    yieldToUser();
    return true;
}

void UpdateSession::listFinished(UpdateListFetcher::Result result)
{
    if (result == UpdateListFetcher::Result::Parsed) {
        entries = listFetcher->entries();
        listUrls = listFetcher->listUrls();
    }
    const ListFailure failure = listFetcher->failure();
    const bool fromServer = listFetcher->cameFromServer();
    releaseChild(listFetcher, this);
    yieldToUser();
    // A list we cannot read is as good as none.
    end(result == UpdateListFetcher::Result::Parsed       ? Ending::ListOffered
            : result == UpdateListFetcher::Result::Failed ? Ending::NoList
                                                          : Ending::ListNotWritable,
        failure, {});
    // Only a list the server has just given says where the updater's own list lies.
    if (result == UpdateListFetcher::Result::Parsed && fromServer)
        startSelfUpdate();
}

void UpdateSession::startSelfUpdate()
{
    if (selfUpdateBegun || listUrls.isEmpty())
        return;
    selfUpdateBegun = true;
    if (!selfUpdateSettings)
        selfUpdateSettings = SelfUpdate::ownSettings();
    selfUpdate = new SelfUpdate(
        listUrls.constFirst(), publicKey, transferPolicy, *selfUpdateSettings, this);
    connect(selfUpdate, &SelfUpdate::finished, this, &UpdateSession::selfUpdateEnded);
    yieldToUser();
    // From the event loop: the window shows the list page first.
    selfUpdate->start(manager);
}

void UpdateSession::selfUpdateEnded(SelfUpdate::Result result)
{
    releaseChild(selfUpdate, this);
    emit selfUpdateFinished(result);
}

void UpdateSession::yieldToUser()
{
    if (selfUpdate)
        selfUpdate->setPaused(listFetcher || downloadRun);
}

bool UpdateSession::startRun(
    const QMap<QString, UpdateEntry> &ticked, const QString &installDirectory)
{
    if (listFetcher || downloadRun)
        return false;
    ensureNetwork();
    downloadRun = new DownloadRun(installDirectory, transferPolicy, this);
    connect(downloadRun, &DownloadRun::fileStarted, this, &UpdateSession::fileStarted);
    connect(downloadRun, &DownloadRun::transferStarted, this, &UpdateSession::transferStarted);
    connect(downloadRun, &DownloadRun::preparing, this, &UpdateSession::preparing);
    connect(downloadRun, &DownloadRun::progress, this, &UpdateSession::progress);
    connect(
        downloadRun, &DownloadRun::runProgressChanged, this, &UpdateSession::runProgressChanged);
    connect(downloadRun, &DownloadRun::fileFinished, this, &UpdateSession::fileFinished);
    connect(downloadRun, &DownloadRun::finished, this, &UpdateSession::runFinished);
    downloadRun->setListUrls(listUrls);
    downloadRun->start(ticked, manager);
    yieldToUser();
    return true;
}

const RunProgress *UpdateSession::runProgress() const
{
    return downloadRun ? &downloadRun->runProgress() : nullptr;
}

void UpdateSession::stopRun()
{
    if (downloadRun)
        qCInfo(lcRun) << "the run was cut short";
    releaseChild(downloadRun, this);
    yieldToUser();
}

void UpdateSession::runFinished(DownloadRun::Result result)
{
    const QList<FileFailure> failures = downloadRun->failure();
    releaseChild(downloadRun, this);
    yieldToUser();
    // A run stopped at a file that cannot be written would stop there again on another try.
    end(result == DownloadRun::Result::Done                   ? Ending::Updated
            : result == DownloadRun::Result::DoneWithProblems ? Ending::UpdatedWithProblems
                                                              : Ending::RunStopped,
        {}, failures);
}

void UpdateSession::end(Ending ending, const ListFailure &list, const QList<FileFailure> &files)
{
    lastEnding = ending;
    listFailure = list;
    fileFailures = files;
    if (ending == Ending::ListOffered || ending == Ending::NoList
        || ending == Ending::ListNotWritable)
        emit listChecked(ending);
    else
        emit runEnded(ending);
}

QString UpdateSession::failureReason(const std::function<QString(const QString &)> &fitName) const
{
    if (listFailure.kind != ListFailure::Kind::None)
        return listFailureText(listFailure);
    QStringList lines;
    for (const FileFailure &file : fileFailures)
        lines.append(
            fileFailureText({fitName ? fitName(file.fileName) : file.fileName, file.failure}));
    return lines.join(QLatin1Char('\n'));
}
