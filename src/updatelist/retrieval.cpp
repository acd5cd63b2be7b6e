#include "dialog/updatedialog.h"

#include "signature.h"
#include "updatelistformat.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSaveFile>
#include <QUrl>

namespace {

QString signatureFileName(const QString &listFileName)
{
    return listFileName + QStringLiteral(".sig");
}

} // namespace

void UpdateDialog::checkClicked()
{
    const QString fileName = tr("aktualizacje.txt");
    if (QFile::exists(fileName)) {
        parseUpdateListFile(fileName);
        return;
    }

    network = new QNetworkAccessManager(this);
    checkButton->setDisabled(true);
    if (!startFileFetch(fileName, QUrl(serverBase + QLatin1Char('/') + fileName))) {
        QMessageBox::information(this, QStringLiteral("Aktualizator"),
                                 tr("Nie można pobrać aktualizacji"), QMessageBox::Ok);
        network->deleteLater();
        network = nullptr;
        abortUpdate();
    }
}

bool UpdateDialog::startFileFetch(const QString &fileName, const QUrl &url)
{
    // The file only takes its name once it has arrived whole; a failed fetch must not leave
    // anything that the next start would parse as the list.
    targetFile = new QSaveFile(fileName);
    if (!targetFile->open(QIODevice::WriteOnly)) {
        releaseTarget();
        return false;
    }
    reply = startTransfer(url);
    connect(reply, &QNetworkReply::finished, this, &UpdateDialog::updateListDownloaded);
    connect(reply, &QNetworkReply::readyRead, this, &UpdateDialog::downloadReadyRead);
    return true;
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
    const QString listFileName = tr("aktualizacje.txt");
    const QString fetchedFile = targetFile ? targetFile->fileName() : QString();
    bool arrived = transferSucceeded() && targetFile->commit();
    releaseTarget();
    if (reply) {
        reply->deleteLater();
        reply = nullptr;
    }

    // A signed build fetches the list's signature next, with the same manager.
    const bool signedBuild = !publicKey.isEmpty();
    if (arrived && signedBuild && fetchedFile == listFileName) {
        const QString sigName = signatureFileName(listFileName);
        if (startFileFetch(sigName, QUrl(serverBase + QLatin1Char('/') + sigName)))
            return;
        arrived = false;
    }

    if (network) {
        network->deleteLater();
        network = nullptr;
    }
    if (!arrived) {
        if (signedBuild) {
            QFile::remove(listFileName);
            QFile::remove(signatureFileName(listFileName));
        }
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

    if (!publicKey.isEmpty()) {
        // Only a list the publisher's key has signed, byte for byte, is ever read.
        QFile signatureFile(signatureFileName(fileName));
        QByteArray signature;
        if (signatureFile.open(QIODevice::ReadOnly)) {
            signature = signatureFile.read(4096);
            signatureFile.close();
        }
        signatureFile.remove();
        if (!verifyListSignature(publicKey, bytes, signature)) {
            abortUpdate();
            return;
        }
    }

    const QMap<QString, UpdateEntry> entries = parseUpdateList(bytes);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        delete updateList.value(it.key());
        updateList.insert(it.key(), new UpdateEntry(it.value()));
    }

    showUpdateList();
    nextButton->setEnabled(true);
    checkButton->setDisabled(true);
}
