#include "dialog/updatedialog.h"

#include "regularfile.h"
#include "signature.h"
#include "updatelistformat.h"

#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QTimer>
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
    if (!listDeadline) {
        listDeadline = new QTimer(this);
        listDeadline->setSingleShot(true);
        connect(listDeadline, &QTimer::timeout, this, [this] {
            // Nothing has taken its name yet: the list waits for its signature in a staging
            // file, which goes with its transfer.
            releaseTarget();
            if (network) {
                network->deleteLater();
                network = nullptr;
            }
            abortUpdate();
        });
    }
    listDeadline->start(listDeadlineMs);
    if (!startFileFetch(fileName, QUrl(serverBase + QLatin1Char('/') + fileName))) {
        listDeadline->stop();
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
    // anything that the next start would parse as the list. A link in its place (even one that
    // points nowhere yet) would have the bytes written wherever it leads.
    if (QFileInfo(fileName).isSymLink())
        return false;
    const bool isSignature = fileName != tr("aktualizacje.txt");
    auto *next = new FileTransfer(url, fileName, this);
    next->setByteLimit(isSignature ? maxSignatureBytes : maxListBytes);
    // Small enough to fetch again whole.
    next->setResumable(false);
    // In a signed build the list keeps out of its name until its signature has been checked.
    next->setCommitWhenComplete(isSignature || publicKey.isEmpty());
    if (!startTransfer(next))
        return false;
    connect(transfer, &FileTransfer::finished, this, &UpdateDialog::updateListDownloaded);
    return true;
}

void UpdateDialog::updateListDownloaded()
{
    const QString listFileName = tr("aktualizacje.txt");
    const bool signedBuild = !publicKey.isEmpty();
    const bool gotSignature = transfer && transfer->targetPath() != listFileName;
    const FileTransfer::Outcome outcome
        = transfer ? transfer->outcome() : FileTransfer::Outcome::Failed;
    bool arrived
        = outcome == FileTransfer::Outcome::Installed || outcome == FileTransfer::Outcome::Received;

    // A signed build fetches the list's signature next, with the same manager; the list waits
    // in its temporary file meanwhile.
    if (arrived && signedBuild && !gotSignature) {
        pendingList = transfer;
        transfer = nullptr;
        targetFile = nullptr;
        reply = nullptr;
        pendingList->disconnect(this);
        const QString sigName = signatureFileName(listFileName);
        if (startFileFetch(sigName, QUrl(serverBase + QLatin1Char('/') + sigName)))
            return;
        arrived = false;
    }
    listDeadline->stop();
    if (arrived && signedBuild && gotSignature) {
        arrived = pendingList && pendingList->commit();
        if (!arrived)
            QFile::remove(signatureFileName(listFileName));
    }
    releaseTarget();

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
    // A list larger than any real one is refused; reading one byte past the cap tells without
    // trusting a size that may change.
    std::optional<QByteArray> bytes = readRegularFile(fileName, maxListBytes + 1);
    if (!bytes) {
        // A list we cannot read is as good as none; say so instead of sitting there silently.
        abortUpdate();
        return;
    }
    const bool oversized = bytes->size() > maxListBytes;
    if (oversized)
        bytes->clear();
    QFile::remove(fileName);

    if (!publicKey.isEmpty()) {
        // Only a list the publisher's key has signed, byte for byte, is ever read.
        const QString signatureName = signatureFileName(fileName);
        QByteArray signature
            = readRegularFile(signatureName, maxSignatureBytes + 1).value_or(QByteArray());
        if (signature.size() > maxSignatureBytes)
            signature.clear();
        QFile::remove(signatureName);
        if (oversized || !verifyListSignature(publicKey, *bytes, signature)) {
            abortUpdate();
            return;
        }
    }

    // More components than the window can hold are refused before any page is built.
    const std::optional<QMap<QString, UpdateEntry>> entries
        = oversized ? std::nullopt : parseUpdateList(*bytes);
    if (!entries) {
        abortUpdate();
        return;
    }
    for (auto it = entries->cbegin(); it != entries->cend(); ++it) {
        delete updateList.value(it.key());
        updateList.insert(it.key(), new UpdateEntry(it.value()));
    }

    showUpdateList();
    nextButton->setEnabled(true);
    checkButton->setDisabled(true);
}
