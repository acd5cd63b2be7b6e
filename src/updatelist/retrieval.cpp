#include "dialog/updatedialog.h"

#include "updatelistformat.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSaveFile>
#include <QUrl>

void UpdateDialog::checkClicked()
{
    const QString fileName = tr("aktualizacje.txt");
    if (QFile::exists(fileName)) {
        parseUpdateListFile(fileName);
        return;
    }

    network = new QNetworkAccessManager(this);
    // The list only becomes "aktualizacje.txt" once it has arrived whole; a failed fetch must
    // not leave anything that the next start would parse as the list.
    targetFile = new QSaveFile(fileName);
    checkButton->setDisabled(true);
    if (!targetFile->open(QIODevice::WriteOnly)) {
        QMessageBox::information(this, QStringLiteral("Aktualizator"),
                                 tr("Nie można pobrać aktualizacji"), QMessageBox::Ok);
        releaseTarget();
        network->deleteLater();
        network = nullptr;
        abortUpdate();
        return;
    }

    reply = startTransfer(QUrl(serverBase + QLatin1Char('/') + fileName));
    connect(reply, &QNetworkReply::finished, this, &UpdateDialog::updateListDownloaded);
    connect(reply, &QNetworkReply::readyRead, this, &UpdateDialog::downloadReadyRead);
}

void UpdateDialog::downloadReadyRead()
{
    if (!targetFile || !reply)
        return;
    const QByteArray data = reply->readAll();
    bytesWritten += data.size();
    if (writeFailed)
        return;
    if (targetFile->write(data) != data.size()) {
        writeFailed = true;
        return;
    }
    if (targetHash)
        targetHash->addData(data);
}

void UpdateDialog::updateListDownloaded()
{
    const bool arrived = transferSucceeded() && targetFile->commit();
    releaseTarget();
    if (reply) {
        reply->deleteLater();
        reply = nullptr;
    }
    if (network) {
        network->deleteLater();
        network = nullptr;
    }
    if (!arrived) {
        abortUpdate();
        return;
    }

    nextButton->setEnabled(true);
    checkClicked();
}

void UpdateDialog::parseUpdateListFile(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        // A list we cannot read is as good as none; say so instead of sitting there silently.
        abortUpdate();
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    file.remove();

    const QMap<QString, UpdateEntry> entries = parseUpdateList(bytes);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        delete updateList.value(it.key());
        updateList.insert(it.key(), new UpdateEntry(it.value()));
    }

    showUpdateList();
    nextButton->setEnabled(true);
    checkButton->setDisabled(true);
}
