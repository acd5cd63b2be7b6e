#include "updatedialog.h"

#include "transfer/filetransfer.h"
#include "updatelist/updatelistfetcher.h"

#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>

void UpdateDialog::checkClicked()
{
    if (listFetcher)
        return;
    network = new QNetworkAccessManager(this);
    holdKeys();
    checkButton->setDisabled(true);
    listFetcher = new UpdateListFetcher(serverBase, publicKey, transferPolicy, this);
    connect(listFetcher, &UpdateListFetcher::transferStarted, this, &UpdateDialog::watchTransfer);
    connect(listFetcher, &UpdateListFetcher::finished, this, &UpdateDialog::updateListDownloaded);
    listFetcher->start(network);
}

void UpdateDialog::updateListDownloaded()
{
    UpdateListFetcher *fetcher = listFetcher;
    listFetcher = nullptr;
    fetcher->disconnect(this);
    fetcher->deleteLater();
    transfer = nullptr;
    targetFile = nullptr;
    reply = nullptr;

    const UpdateListFetcher::Result result = fetcher->result();
    if (result == UpdateListFetcher::Result::CannotStart) {
        QMessageBox::information(this, QStringLiteral("Aktualizator"),
            tr("Nie można pobrać aktualizacji"), QMessageBox::Ok);
    }
    releaseNetwork();
    if (result != UpdateListFetcher::Result::Parsed) {
        // A list we cannot read is as good as none; say so instead of sitting there silently.
        abortUpdate();
        return;
    }
    const QMap<QString, UpdateEntry> entries = fetcher->entries();
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        delete updateList.value(it.key());
        updateList.insert(it.key(), new UpdateEntry(it.value()));
    }
    showUpdateList();
    checkButton->setDisabled(true);
    offerButton(nextButton);
}

void UpdateDialog::downloadReadyRead()
{
    // The transfer reads its reply by itself; this only hurries it along.
    if (transfer)
        transfer->receive();
}

void UpdateDialog::watchTransfer(FileTransfer *next)
{
    transfer = next;
    targetFile = next->file();
    reply = next->reply();
    connect(next, &FileTransfer::requestSent, this, [this, next] {
        if (transfer == next)
            reply = next->reply();
    });
}

void UpdateDialog::releaseNetwork()
{
    if (network) {
        network->deleteLater();
        network = nullptr;
    }
}
