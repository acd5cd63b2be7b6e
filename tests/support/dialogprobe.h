#pragma once

#include <functional>

#include "dialog/versionline.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStringList>
#include <QTimer>

// Reads the update dialog the way a user sees it: buttons by their text, the caption and the
// lines of the list area in layout order.
namespace DialogProbe {

inline QPushButton *button(QDialog *dialog, const QString &text)
{
    const auto buttons = dialog->findChildren<QPushButton *>();
    for (QPushButton *b : buttons) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

inline QPushButton *checkButton(QDialog *d)
{
    return button(d, QStringLiteral("Sprawdź aktualizacje"));
}
inline QPushButton *nextButton(QDialog *d)
{
    return button(d, QStringLiteral("Dalej"));
}
inline QPushButton *closeButton(QDialog *d)
{
    return button(d, QStringLiteral("Zamknij"));
}

inline QLabel *caption(QDialog *dialog)
{
    return qobject_cast<QLabel *>(dialog->layout()->itemAt(1)->widget());
}

inline QLayout *listLayout(QDialog *dialog)
{
    auto *area = dialog->findChild<QScrollArea *>();
    return area ? area->widget()->layout() : nullptr;
}

// Widgets of the list area, top to bottom.
inline QList<QWidget *> listWidgets(QDialog *dialog)
{
    QList<QWidget *> widgets;
    QLayout *layout = listLayout(dialog);
    for (int i = 0; layout && i < layout->count(); ++i) {
        if (QWidget *w = layout->itemAt(i)->widget())
            widgets.append(w);
    }
    return widgets;
}

// The text of a label: for a version line, the rich text that it paints.
inline QString labelText(QLabel *label)
{
    if (auto *line = qobject_cast<VersionLine *>(label))
        return line->richText();
    return label->text();
}

// Label texts and check-box texts of the list area, top to bottom (hidden widgets left out).
inline QStringList listTexts(QDialog *dialog)
{
    QStringList texts;
    const QList<QWidget *> widgets = listWidgets(dialog);
    for (QWidget *w : widgets) {
        if (w->isHidden())
            continue;
        if (auto *label = qobject_cast<QLabel *>(w))
            texts.append(labelText(label));
        else if (auto *box = qobject_cast<QCheckBox *>(w))
            texts.append(box->text());
    }
    return texts;
}

inline QList<QCheckBox *> checkBoxes(QDialog *dialog)
{
    QList<QCheckBox *> boxes;
    const QList<QWidget *> widgets = listWidgets(dialog);
    for (QWidget *w : widgets) {
        if (auto *box = qobject_cast<QCheckBox *>(w))
            boxes.append(box);
    }
    return boxes;
}

// The status line of the download run (or of the error path).
inline QString statusText(QDialog *dialog)
{
    const QList<QWidget *> widgets = listWidgets(dialog);
    for (QWidget *w : widgets) {
        if (auto *label = qobject_cast<QLabel *>(w))
            return labelText(label);
    }
    return {};
}

// The smaller line under the status line that says why it failed; empty when none is shown.
inline QString reasonText(QDialog *dialog)
{
    const QList<QWidget *> widgets = listWidgets(dialog);
    bool statusSeen = false;
    for (QWidget *w : widgets) {
        auto *label = qobject_cast<QLabel *>(w);
        if (!label)
            continue;
        if (statusSeen)
            return label->isHidden() ? QString() : label->text();
        statusSeen = true;
    }
    return {};
}

} // namespace DialogProbe

// Answers every modal message box that opens while it lives with one button, the way a user
// would, and remembers what each box said.
class MessageBoxAnswerer : public QObject
{
public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer, QObject *parent = nullptr)
        : QObject(parent)
        , answer(answer)
    {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start();
    }

    void setAnswer(QMessageBox::StandardButton button) { answer = button; }
    // A box is answered only once this says false: a run may end under an open question.
    void holdWhile(std::function<bool()> condition) { hold = std::move(condition); }
    // The most boxes open at once.
    int mostOpen = 0;

    QStringList titles;
    QStringList texts;
    QList<QMessageBox::StandardButtons> buttons;
    // Each box's button texts, the default one first.
    QList<QStringList> buttonTexts;
    int count() const { return int(texts.size()); }

private:
    void poll()
    {
        int open = 0;
        for (QWidget *widget : QApplication::topLevelWidgets())
            open += qobject_cast<QMessageBox *>(widget) && widget->isVisible() ? 1 : 0;
        mostOpen = qMax(mostOpen, open);
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == lastBox || (hold && hold()))
            return;
        lastBox = box;
        titles.append(box->windowTitle());
        texts.append(box->text());
        buttons.append(box->standardButtons());
        QStringList labels;
        const QList<QAbstractButton *> all = box->buttons();
        for (QAbstractButton *b : all)
            labels.insert(b == box->defaultButton() ? 0 : labels.size(), b->text());
        buttonTexts.append(labels);
        if (QAbstractButton *b = box->button(answer))
            b->click();
        else
            box->reject();
    }

    QMessageBox::StandardButton answer;
    std::function<bool()> hold;
    QTimer timer;
    QPointer<QMessageBox> lastBox;
};
