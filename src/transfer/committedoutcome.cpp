#include "filetransfer.h"

#include "transferlog.h"

// What a replace of the target means for the transfer that brought its bytes.
std::pair<FileTransfer::Outcome, TransferFailure> FileTransfer::committedOutcome(
    StagedFile::Replace result, const QString &targetPath)
{
    using Kind = TransferFailure::Kind;
    switch (result) {
    case StagedFile::Replace::Done:
        return {Outcome::Installed, {}};
    case StagedFile::Replace::Foreign:
        // Someone who can write the folder swapped the new file for another of their own.
        qCWarning(lcTransfer).noquote()
            << "another file took the staging name of" << targetPath << "- it was not installed";
        return {Outcome::Failed,
            TransferFailure::of(
                Kind::WriteFailed, QStringLiteral("another file took the new file's name"))};
    case StagedFile::Replace::Held:
    case StagedFile::Replace::Failed:
        break;
    }
    return {Outcome::Unwritable,
        TransferFailure::of(Kind::WriteFailed, QStringLiteral("the target could not be replaced"))};
}
