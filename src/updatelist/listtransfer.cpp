#include "listtransfer.h"

#include "transfer/filetransfer.h"
#include "updatelistfile.h"

#include <QFileInfo>
#include <QString>
#include <QUrl>

FileTransfer *newListTransfer(const QUrl &url, const QString &targetPath, ListFile file,
    const TransferPolicy &policy, QObject *parent)
{
    if (QFileInfo(targetPath).isSymLink())
        return nullptr;
    auto *transfer = new FileTransfer(url, targetPath, policy, parent);
    // Every cache on the way is asked to go to the server: a copy it keeps by heuristic (a list
    // last changed days ago looks fresh for days) would hold users on the last release with
    // nothing to tell them. Files are asked for plainly; their checksums guard them.
    transfer->setExtraHeaders({{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}});
    transfer->setByteLimit(file == ListFile::Signature ? maxSignatureBytes : maxListBytes);
    // Small enough to fetch again whole.
    transfer->setResumable(false);
    return transfer;
}
