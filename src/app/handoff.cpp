#include "handoff.h"

#include "dialog/updatedialog.h"

#include <QMessageBox>

#include <csignal>
#include <cstdio>

void writeHandOffWord()
{
#ifdef SIGPIPE
    // If the main product has already closed its end of the pipe, the write must fail
    // quietly instead of killing the updater.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::fwrite("koniec", 1, 6, stdout);
    std::fflush(stdout);
}

void UpdateDialog::nextClicked()
{
    if (detachedMode) {
        showSelection();
        return;
    }

    const QMessageBox::StandardButton answer = QMessageBox::warning(this, tr("Aktualizacja"),
        tr("Uwaga!\n Aby kontynuować aktualizację konieczne jest zamknięcie programu WELOR "
           "oraz przeładowanie aktualizatora.\n\nCzy zamknąć oba programy?"),
        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Ok)
        return;

    writeHandOffWord();
    showSelection();
}
