#include "updatedialog.h"

#include "transfer/filetransfer.h"
#include "updatelist/updatelistfetcher.h"

#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>

void UpdateDialog::checkClicked()
{
    if (listFetcher)
        return;
    if (!network)
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
    const UpdateListFetcher::Result result = listFetcher->result();
    const QMap<QString, UpdateEntry> entries = listFetcher->entries();
    failureReason = listFailureText(listFetcher->failure());
    listUrls = listFetcher->listUrls();
    releaseChild(listFetcher, this);
    targetFile = nullptr;
    reply = nullptr;

    if (result == UpdateListFetcher::Result::CannotStart) {
        QMessageBox::information(this, QStringLiteral("Aktualizator"),
            tr("Nie można pobrać aktualizacji"), QMessageBox::Ok);
    }
    if (result != UpdateListFetcher::Result::Parsed) {
        // A list we cannot read is as good as none; say so instead of sitting there silently.
        abortUpdate();
        return;
    }
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
    // Nothing to do: the transfer in flight reads its reply itself, since every byte must pass
    // its checks before it may count.
}

void UpdateDialog::watchTransfer(FileTransfer *next)
{
    targetFile = next->file();
    reply = next->reply();
    connect(next, &FileTransfer::requestSent, this, [this](QNetworkReply *sent) { reply = sent; });
}
