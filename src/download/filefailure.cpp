#include "filefailure.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    // The window's own context, so that these texts translate with the rest of it.
    return QCoreApplication::translate("UpdateDialog", text);
}

QString reasonText(const TransferFailure &failure)
{
    using Kind = TransferFailure::Kind;
    switch (failure.kind) {
    case Kind::HttpStatus:
        return QStringLiteral("HTTP %1").arg(failure.httpStatus);
    case Kind::NoConnection:
        return tr("brak połączenia");
    case Kind::NoResponse:
        return tr("serwer nie odpowiada");
    case Kind::Cut:
        return tr("przerwane połączenie");
    case Kind::ChecksumMismatch:
        return tr("suma kontrolna się nie zgadza");
    case Kind::WrongSize:
    case Kind::OverLimit:
        return tr("nieprawidłowy rozmiar");
    case Kind::Tls:
        return tr("nie można nawiązać bezpiecznego połączenia");
    case Kind::WriteFailed:
        return tr("nie można zapisać pliku");
    case Kind::RefusedLink:
        return tr("nieprawidłowy adres pliku");
    case Kind::None:
    case Kind::BadAnswer:
        break;
    }
    return tr("nieprawidłowa odpowiedź serwera");
}

} // namespace

QString fileFailureText(const FileFailure &file)
{
    return file.fileName + QStringLiteral(": ") + reasonText(file.failure);
}
