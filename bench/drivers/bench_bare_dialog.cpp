// The yardstick for start-up: an empty dialog of the updater's size, shown and ended at its
// first paint exactly like the updater's start-up driver. With "--label" the dialog holds one
// line of text, so the toolkit's font set-up, which any window with text pays, is in both.

#include "benchsupport.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QVBoxLayout>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QDialog dialog;
    if (QCoreApplication::arguments().contains(QStringLiteral("--label"))) {
        auto *layout = new QVBoxLayout(&dialog);
        layout->addWidget(new QLabel(QStringLiteral("Zainstalowane elementy:")));
    }
    dialog.setFixedSize(400, 400);
    Bench::QuitOnFirstPaint quitter;
    dialog.installEventFilter(&quitter);
    dialog.show();
    QTimer::singleShot(10000, &app, [] { QCoreApplication::exit(1); });
    return app.exec();
}
