#include "updatedialog.h"

#include "buildconfig.h"
#include "updatelist/serveraddresses.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <utility>

UpdateDialog::UpdateDialog(QWidget *parent)
    : UpdateDialog(parent, QString::fromLatin1(updateServerBase))
{ }

UpdateDialog::UpdateDialog(QWidget *parent, const QString &serverBase)
    : QDialog(parent)
    , session(new UpdateSession(serverBase, this))
{
    session->setPublicKey(updatePublicKey);

    auto *noticeLabel = new QLabel(tr("W celu aktualizacji należy uruchomić program\n"
                                      "z prawami administratora."));
    QFont noticeFont;
    noticeFont.setWeight(QFont::Bold);
    noticeFont.setPointSize(12);
    noticeLabel->setFont(noticeFont);
    // The window is fixed at 400 pixels; with wider fonts the texts wrap instead of being cut.
    noticeLabel->setWordWrap(true);

    auto *siteLabel
        = new QLabel(tr("Aktualizacje można również pobrac bezpośrednio z "
                        "<a href=\"%1\">serwisu www</a>.")
                         .arg(serverAddresses(serverBase).constFirst().toHtmlEscaped()));
    siteLabel->setTextFormat(Qt::RichText);
    siteLabel->setOpenExternalLinks(true);
    siteLabel->setWordWrap(true);

    captionLabel = new QLabel(tr("Zainstalowane elementy:"));

    closeButton = new QPushButton(tr("Zamknij"));
    checkButton = new QPushButton(tr("Sprawdź aktualizacje"));
    nextButton = new QPushButton(tr("Dalej"));
    nextButton->setDisabled(true);

    auto *buttonLayout = new QHBoxLayout;
    buttonLayout->addStretch(0);
    buttonLayout->addWidget(checkButton);
    connect(checkButton, &QPushButton::clicked, this, &UpdateDialog::checkClicked);
    buttonLayout->addWidget(nextButton);
    connect(nextButton, &QPushButton::clicked, this, &UpdateDialog::nextClicked);
    buttonLayout->addWidget(closeButton);
    connect(closeButton, &QPushButton::clicked, this, &UpdateDialog::close);

    listLayout = new QVBoxLayout;
    listWidget = new QWidget;
    scrollArea = new QScrollArea;
    listWidget->setLayout(listLayout);
    scrollArea->setWidgetResizable(true);
    scrollArea->setWidget(listWidget);
    // The list area keeps its own height rather than the spare room, but it should show more
    // than the two or three lines that a short installed list asks for.
    scrollArea->setMinimumHeight(150);

    auto *mainLayout = new QVBoxLayout;
    mainLayout->addWidget(noticeLabel, 132);
    mainLayout->addWidget(captionLabel, 0);
    mainLayout->addWidget(scrollArea, 0);
    mainLayout->addLayout(buttonLayout, 0);
    mainLayout->addWidget(siteLabel, 132);
    setLayout(mainLayout);

    setFixedSize(400, 400);
    setWindowTitle(tr("Aktualizacja"));
    offerButton(checkButton);

    connect(session, &UpdateSession::transferStarted, this, &UpdateDialog::watchTransfer);
    connect(session, &UpdateSession::listChecked, this, &UpdateDialog::updateListDownloaded);
    connect(session, &UpdateSession::fileStarted, this, &UpdateDialog::startNextDownload);
    connect(session, &UpdateSession::preparing, this, [this] {
        progressLabel->setText(tr("Trwa przygotowywanie pliku: %1").arg(progressFileName));
        progressClock.invalidate();
    });
    connect(session, &UpdateSession::progress, this, &UpdateDialog::downloadProgress);
    connect(session, &UpdateSession::runProgressChanged, this, &UpdateDialog::showRunProgress);
    connect(session, &UpdateSession::fileFinished, this, &UpdateDialog::downloadFinished);
    connect(session, &UpdateSession::runEnded, this, &UpdateDialog::runEnded);
}

void UpdateDialog::offerButton(QPushButton *button)
{
    button->setEnabled(true);
    button->setDefault(true);
    button->setFocus();
}

void UpdateDialog::holdKeys()
{
    scrollArea->setFocus();
    // Focus leaving a default button hands the default back, so clear it only after the move.
    for (QPushButton *button : {checkButton, nextButton, closeButton})
        button->setDefault(false);
}

void UpdateDialog::reject()
{
    if (session->isRunning()) {
        closeQuestionOpen = true;
        const QMessageBox::StandardButton answer
            = QMessageBox::question(this, QStringLiteral("Aktualizator"),
                tr("Przerwać aktualizację? Pobrane już pliki zostaną zachowane, a bieżący plik nie "
                   "zostanie zmieniony."),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        closeQuestionOpen = false;
        if (answer != QMessageBox::Yes) {
            if (std::exchange(stopHeld, false))
                stopOnUnwritableTarget();
            return;
        }
        // The run may have ended while the question was open; if not, its unfinished file goes
        // now, before the window does.
        session->stopRun();
        targetFile = nullptr;
    }
    QDialog::reject();
}

UpdateDialog::~UpdateDialog()
{
    // Closing the window mid-transfer: stop the work from calling back into a half-destroyed
    // dialog; the session, going with the window, drops the unfinished file so the installed one
    // stays as it was.
    releaseChild(session, this);
    delete currentEntry;

    qDeleteAll(updateList);
    qDeleteAll(installedVersions);
}
