#include "updatedialog.h"

#include "transfer/filetransfer.h"

#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

void UpdateDialog::checkClicked()
{
    if (!session->checkForUpdates())
        return;
    network = session->network();
    holdKeys();
    checkButton->setDisabled(true);
}

void UpdateDialog::updateListDownloaded()
{
    targetFile = nullptr;
    const UpdateSession::Ending ending = session->ending();
    if (ending == UpdateSession::Ending::ListNotWritable) {
        QMessageBox::information(this, QStringLiteral("Aktualizator"),
            tr("Nie można pobrać aktualizacji"), QMessageBox::Ok);
    }
    if (ending != UpdateSession::Ending::ListOffered) {
        // Say so instead of sitting there silently.
        abortUpdate();
        return;
    }
    const QMap<QString, UpdateEntry> entries = session->offered();
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
    // its checks before it may count. The slot stays one of the dialog's seven.
}

void UpdateDialog::watchTransfer(FileTransfer *next)
{
    targetFile = next->file();
    if (!session->isRunning())
        return;
    showRunProgress();
    progressBar->show();
    progressClock.invalidate();
}
