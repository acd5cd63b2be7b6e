#include "download/filefailure.h"
#include "updatelist/listfailure.h"

#include <QCoreApplication>

// The words the window gives for a failure, in one place: a few words after a file's name, and
// a sentence under the error text when the list failed.

namespace {

struct ReasonText
{
    TransferFailure::Kind kind;
    // After "NAME: " on the run's closing page.
    const char *file;
    // Under the error text of a failed check for updates.
    const char *list;
};

using Kind = TransferFailure::Kind;

// One row per kind; Kind::BadAnswer comes first, since a kind the table does not name (None)
// reads like it. %1 is the HTTP status.
constexpr ReasonText reasonTexts[] = {
    {Kind::BadAnswer, "nieprawidłowa odpowiedź serwera",
        "Serwer aktualizacji wysłał nieprawidłową odpowiedź."},
    {Kind::HttpStatus, "HTTP %1", "Serwer aktualizacji odpowiedział: HTTP %1."},
    {Kind::NoConnection, "brak połączenia", "Nie można połączyć się z serwerem aktualizacji."},
    {Kind::NoResponse, "serwer nie odpowiada", "Serwer aktualizacji nie odpowiada."},
    {Kind::Cut, "przerwane połączenie", "Serwer aktualizacji nie odpowiada."},
    {Kind::Tls, "nie można nawiązać bezpiecznego połączenia",
        "Nie można nawiązać bezpiecznego połączenia z serwerem aktualizacji."},
    {Kind::ChecksumMismatch, "suma kontrolna się nie zgadza",
        "Serwer aktualizacji wysłał nieprawidłową odpowiedź."},
    {Kind::WrongSize, "nieprawidłowy rozmiar", "Lista aktualizacji jest zbyt duża."},
    {Kind::OverLimit, "nieprawidłowy rozmiar", "Lista aktualizacji jest zbyt duża."},
    {Kind::WriteFailed, "nie można zapisać pliku", "Nie można zapisać pliku aktualizacje.txt."},
    {Kind::RefusedLink, "nieprawidłowy adres pliku",
        "Nie można połączyć się z serwerem aktualizacji."},
};

QString tr(const char *text)
{
    // The window's own context, so that these texts translate with the rest of it.
    return QCoreApplication::translate("UpdateDialog", text);
}

const ReasonText &reasonFor(Kind kind)
{
    for (const ReasonText &row : reasonTexts) {
        if (row.kind == kind)
            return row;
    }
    return reasonTexts[0];
}

QString withStatus(const char *text, const TransferFailure &failure)
{
    const QString translated = tr(text);
    return failure.kind == Kind::HttpStatus ? translated.arg(failure.httpStatus) : translated;
}

} // namespace

QString fileFailureText(const FileFailure &file)
{
    return file.fileName + QStringLiteral(": ")
        + withStatus(reasonFor(file.failure.kind).file, file.failure);
}

QString listFailureText(const ListFailure &failure)
{
    switch (failure.kind) {
    case ListFailure::Kind::None:
        return {};
    case ListFailure::Kind::Transfer:
        return withStatus(reasonFor(failure.transfer.kind).list, failure.transfer);
    case ListFailure::Kind::CannotWrite:
        return tr(reasonFor(Kind::WriteFailed).list);
    case ListFailure::Kind::TooLarge:
        return tr(reasonFor(Kind::OverLimit).list);
    case ListFailure::Kind::BadSignature:
        return tr("Podpis listy aktualizacji jest nieprawidłowy.");
    case ListFailure::Kind::Expired:
        return tr("Lista aktualizacji jest nieaktualna (ważna do %1).")
            .arg(failure.expires.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    case ListFailure::Kind::Unreadable:
        return tr("Nie można odczytać pliku aktualizacje.txt.");
    case ListFailure::Kind::NotAList:
        return tr(reasonFor(Kind::BadAnswer).list);
    }
    return {};
}
