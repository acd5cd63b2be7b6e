#include "listfailure.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    // The window's own context, so that these texts translate with the rest of it.
    return QCoreApplication::translate("UpdateDialog", text);
}

QString transferText(const TransferFailure &failure)
{
    using Kind = TransferFailure::Kind;
    switch (failure.kind) {
    case Kind::HttpStatus:
        return tr("Serwer aktualizacji odpowiedział: HTTP %1.").arg(failure.httpStatus);
    case Kind::NoConnection:
    case Kind::RefusedLink:
        return tr("Nie można połączyć się z serwerem aktualizacji.");
    case Kind::NoResponse:
    case Kind::Cut:
        return tr("Serwer aktualizacji nie odpowiada.");
    case Kind::Tls:
        return tr("Nie można nawiązać bezpiecznego połączenia z serwerem aktualizacji.");
    case Kind::OverLimit:
    case Kind::WrongSize:
        return tr("Lista aktualizacji jest zbyt duża.");
    case Kind::WriteFailed:
        return tr("Nie można zapisać pliku aktualizacje.txt.");
    case Kind::None:
    case Kind::ChecksumMismatch:
    case Kind::BadAnswer:
        break;
    }
    return tr("Serwer aktualizacji wysłał nieprawidłową odpowiedź.");
}

} // namespace

QString listFailureText(const ListFailure &failure)
{
    switch (failure.kind) {
    case ListFailure::Kind::None:
        return {};
    case ListFailure::Kind::Transfer:
        return transferText(failure.transfer);
    case ListFailure::Kind::CannotWrite:
        return tr("Nie można zapisać pliku aktualizacje.txt.");
    case ListFailure::Kind::TooLarge:
        return tr("Lista aktualizacji jest zbyt duża.");
    case ListFailure::Kind::BadSignature:
        return tr("Podpis listy aktualizacji jest nieprawidłowy.");
    case ListFailure::Kind::Expired:
        return tr("Lista aktualizacji jest nieaktualna (ważna do %1).")
            .arg(failure.expires.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    case ListFailure::Kind::Unreadable:
        return tr("Nie można odczytać pliku aktualizacje.txt.");
    case ListFailure::Kind::NotAList:
        return tr("Serwer aktualizacji wysłał nieprawidłową odpowiedź.");
    }
    return {};
}
