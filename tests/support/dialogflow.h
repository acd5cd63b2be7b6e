#pragma once

#include "dialogprobe.h"

#include <QtTest>

#include <functional>

// What the dialog says at each step, word for word.
inline const QString installedCaption = QStringLiteral("Zainstalowane elementy:");
inline const QString listCaption = QStringLiteral("Lista elementów do aktualizacji:");
inline const QString selectionCaption = QStringLiteral("Wybór elementów do aktualizacji:");
inline const QString progressCaption = QStringLiteral("Postęp aktualizacji:");
inline const QString successText = QStringLiteral("Aktualizacja zakończona pomyślnie");
inline const QString problemsText
    = QStringLiteral("Wystąpiły problemy podczas aktualizowania plików.\n\n"
                     "Niektóre komponenty mogły zostać niezaktualizowane.");
inline const QString errorText
    = QStringLiteral("Wystąpił błąd. Aktualizacja nie zostanie zakończona");
inline const QString cannotWriteText
    = QStringLiteral("Nie można zapisać plików, aktualizacja zakończona błędem.");
inline const QString cannotFetchText = QStringLiteral("Nie można pobrać aktualizacji");
inline const QString listFileName = QStringLiteral("aktualizacje.txt");
// Nothing answers there: for runs that must not reach any server.
inline const QString unreachableBase = QStringLiteral("http://127.0.0.1:0");

// Sees every event of the application while it lives, before its receiver does: to note the
// moment something is shown or added.
class EventSpy : public QObject
{
public:
    explicit EventSpy(std::function<void(QObject *, QEvent *)> onEvent)
        : onEvent(std::move(onEvent))
    {
        qApp->installEventFilter(this);
    }
    ~EventSpy() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        onEvent(watched, event);
        return false;
    }

private:
    std::function<void(QObject *, QEvent *)> onEvent;
};

// Steps through the dialog the way a user does, checking each page on the way. A failed check
// ends only the step, not the test: a caller that must not go on asks QTest::currentTestFailed().
namespace DialogFlow {

// Waits for the update-list page to be ready and moves on to the selection page.
inline void toSelection(QDialog *dialog, int timeoutMs = 5000)
{
    QTRY_VERIFY_WITH_TIMEOUT(DialogProbe::nextButton(dialog)->isEnabled(), timeoutMs);
    QCOMPARE(DialogProbe::caption(dialog)->text(), listCaption);
    DialogProbe::nextButton(dialog)->click();
    QCOMPARE(DialogProbe::caption(dialog)->text(), selectionCaption);
}

// Waits for the download run to end, whatever the outcome: then only closing is left.
inline void waitForEnd(QDialog *dialog, int timeoutMs = 10000)
{
    const auto ended = [dialog] {
        const QString status = DialogProbe::statusText(dialog);
        return status == successText || status == problemsText || status == errorText;
    };
    QTRY_VERIFY_WITH_TIMEOUT(ended(), timeoutMs);
    QVERIFY(!DialogProbe::nextButton(dialog)->isEnabled());
    QVERIFY(DialogProbe::closeButton(dialog)->isEnabled());
}

} // namespace DialogFlow
