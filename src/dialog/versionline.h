#pragma once

#include "versionlines.h"

#include <QLabel>

class QTextLayout;

// One version line of the list pages. It looks exactly like a rich-text QLabel given the line's
// template, but keeps no text document of its own: such a document costs about 25 KB and a
// third of a millisecond per line, and a list may have 10,000 lines. The line is painted with
// the formats that the template's own document gives its name and its version part, worked out
// once per template. A name that one line of left-to-right text would not show the same way
// (a line break, a control character, right-to-left text) makes it an ordinary rich-text label.
//
// It stays a QLabel so that it takes what the toolkit and the style give labels; QLabel::text()
// is empty unless it fell back to rich text. richText() is the line in the template's words.
class VersionLine : public QLabel
{
    Q_OBJECT

public:
    VersionLine(VersionLines::Kind kind, const QString &name, quint32 version);

    // The same component in another kind of line, showing another version.
    void setLine(VersionLines::Kind kind, quint32 version);
    // With the whole name, also where the line shows it shortened.
    QString richText() const;
    // A name too long for one line of `width` pixels is shortened in the middle, so that the
    // list never has to scroll sideways; the line keeps its whole name for the next kind.
    void fitTo(int width);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    struct Pattern;
    const Pattern &pattern() const;
    void layOut(QTextLayout &layout, const Pattern &pattern) const;
    void refresh();

    QString name;
    QString fullName;
    QString version;
    VersionLines::Kind kind;
    bool painted;
    mutable QSize hint;
};
