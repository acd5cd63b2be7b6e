#include "versionline.h"

#include "version/version.h"

#include <QCoreApplication>
#include <QList>
#include <QPainter>
#include <QStyleOption>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextLayout>
#include <QtMath>

#include <vector>

namespace {

// Stand for the name and the version in a template's document.
const QChar nameMark(0xE000);
const QChar versionMark(0xE001);

// Whether the name comes out of a template's document as it is, within one left-to-right
// line, so that painting it with the template's formats looks the same.
bool showsAsOneLine(const QString &name)
{
    if (name.isRightToLeft())
        return false;
    for (const QChar c : name) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        default:
            if (c == QChar::ObjectReplacementCharacter)
                return false;
        }
    }
    return true;
}

// The template's text with the name and the version in place of the marks; `moved`, when given,
// learns where each position of the template's text went.
QString fill(const QString &pattern, const QString &name, const QString &version,
    std::vector<int> *moved = nullptr)
{
    QString text;
    text.reserve(pattern.size() + name.size() + version.size());
    if (moved)
        moved->resize(size_t(pattern.size()) + 1);
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        if (moved)
            (*moved)[size_t(i)] = int(text.size());
        const QChar c = pattern.at(i);
        if (c == nameMark)
            text += name;
        else if (c == versionMark)
            text += version;
        else
            text += c;
    }
    if (moved)
        moved->back() = int(text.size());
    return text;
}

} // namespace

// A template laid out the way a rich-text QLabel lays out its text, with marks for the name and
// the version: what a line of it needs to be laid out and painted alike without a document.
struct VersionLine::Pattern
{
    QFont font;
    Qt::Alignment alignment;
    bool made = false;
    bool usable = false; // one block, one line, each mark once
    QString text;
    QList<QTextLayout::FormatRange> formats;
    QTextOption option;
    QPointF layoutPosition;
    QPointF linePosition;
    qreal lineWidth = 0;
    qreal margins = 0; // the document's width less the line's natural width
    qreal height = 0;
};

namespace {

// More than any line can show, however wide: measuring a name of 128 KiB character by character
// takes seconds for each try at a width. Its middle goes first, as when it is shortened to fit.
QString measurableName(const QString &name)
{
    constexpr qsizetype kept = 150;
    if (name.size() <= 2 * kept + 1)
        return name;
    qsizetype head = kept;
    qsizetype tail = kept;
    if (name.at(head - 1).isHighSurrogate())
        --head;
    if (name.at(name.size() - tail).isLowSurrogate())
        --tail;
    return name.left(head) + QChar(0x2026) + name.right(tail);
}

} // namespace

VersionLine::VersionLine(VersionLines::Kind kind, const QString &name, quint32 version)
    : name(measurableName(name))
    , fullName(this->name)
    , kind(kind)
    , painted(showsAsOneLine(this->name))
{
    setLine(kind, version);
}

void VersionLine::setLine(VersionLines::Kind newKind, quint32 newVersion)
{
    kind = newKind;
    version = formatVersion(newVersion);
    refresh();
}

void VersionLine::fitTo(int width)
{
    if (name != fullName) {
        name = fullName;
        refresh();
    }
    if (sizeHint().width() <= width)
        return;
    // The widest middle-shortened name that still fits, found by halving: the line's own
    // measure decides, whatever fonts its kind gives the name.
    const QFontMetrics metrics(font());
    int fits = 0;
    int tooWide = metrics.horizontalAdvance(fullName);
    while (tooWide - fits > 1) {
        const int middle = (fits + tooWide) / 2;
        name = metrics.elidedText(fullName, Qt::ElideMiddle, middle);
        refresh();
        (sizeHint().width() <= width ? fits : tooWide) = middle;
    }
    name = metrics.elidedText(fullName, Qt::ElideMiddle, fits);
    refresh();
}

QString VersionLine::richText() const
{
    return VersionLines::text(kind, fullName, version);
}

void VersionLine::refresh()
{
    if (painted && !pattern().usable)
        painted = false;
    if (!painted) {
        // The format first: each text set lays out a whole text document.
        setTextFormat(Qt::RichText);
        setText(VersionLines::text(kind, name, version));
        return;
    }
    hint = QSize();
    // What a label of that rich text would tell a screen reader, with the whole name.
    setAccessibleName(fill(pattern().text, fullName, version));
    updateGeometry();
    QWidget::update();
}

const VersionLine::Pattern &VersionLine::pattern() const
{
    // Dropped with the application: fonts and formats must not outlive it.
    static Pattern patterns[4];
    static const bool dropped = [] {
        qAddPostRoutine([] {
            for (Pattern &p : patterns)
                p = Pattern();
        });
        return true;
    }();
    Q_UNUSED(dropped)
    Pattern &p = patterns[int(kind)];
    const QFont currentFont = font();
    if (p.made && p.font == currentFont && p.alignment == alignment())
        return p;

    p = Pattern();
    p.made = true;
    p.font = currentFont;
    p.alignment = alignment();

    // Set up as QLabel sets up the document of its rich text.
    QTextDocument document;
    document.setUndoRedoEnabled(false);
    document.setDefaultFont(currentFont);
    document.setHtml(VersionLines::source(kind).arg(nameMark, versionMark));
    QTextOption option = document.defaultTextOption();
    option.setAlignment(alignment());
    option.setWrapMode(QTextOption::ManualWrap);
    document.setDefaultTextOption(option);
    QTextFrameFormat frame = document.rootFrame()->frameFormat();
    frame.setMargin(0);
    document.rootFrame()->setFrameFormat(frame);
    document.setTextWidth(-1);
    const QSizeF size = document.size();

    const QTextBlock block = document.firstBlock();
    const QTextLayout *layout = block.layout();
    p.text = block.text();
    if (document.blockCount() != 1 || !layout || layout->lineCount() != 1
        || p.text.count(nameMark) != 1 || p.text.count(versionMark) != 1)
        return p;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        p.formats.append(
            {fragment.position() - block.position(), fragment.length(), fragment.charFormat()});
    }
    const QTextLine line = layout->lineAt(0);
    p.option = layout->textOption();
    p.layoutPosition = layout->position();
    p.linePosition = line.position();
    p.lineWidth = line.width();
    p.margins = size.width() - line.naturalTextWidth();
    p.height = size.height();
    p.usable = true;
    return p;
}

void VersionLine::layOut(QTextLayout &layout, const Pattern &p) const
{
    std::vector<int> moved;
    const QString text = fill(p.text, name, version, &moved);

    QList<QTextLayout::FormatRange> formats;
    formats.reserve(p.formats.size());
    for (const QTextLayout::FormatRange &range : p.formats) {
        const int start = moved[size_t(range.start)];
        formats.append({start, moved[size_t(range.start + range.length)] - start, range.format});
    }

    layout.setText(text);
    layout.setFont(font());
    layout.setTextOption(p.option);
    layout.setFormats(formats);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(p.lineWidth);
    line.setPosition(p.linePosition);
    layout.endLayout();
    layout.setPosition(p.layoutPosition);
}

QSize VersionLine::sizeHint() const
{
    if (!painted)
        return QLabel::sizeHint();
    if (!hint.isValid()) {
        const Pattern &p = pattern();
        QTextLayout layout;
        layOut(layout, p);
        hint = QSize(qCeil(layout.lineAt(0).naturalTextWidth() + p.margins), qCeil(p.height));
    }
    return hint;
}

QSize VersionLine::minimumSizeHint() const
{
    return painted ? sizeHint() : QLabel::minimumSizeHint();
}

void VersionLine::paintEvent(QPaintEvent *event)
{
    if (!painted) {
        QLabel::paintEvent(event);
        return;
    }
    const Pattern &p = pattern();
    QTextLayout layout;
    layOut(layout, p);

    // Where and in which colour QLabel draws its document.
    const QRectF contents = contentsRect();
    qreal top = 0;
    if (alignment() & Qt::AlignVCenter)
        top = qMax((contents.height() - p.height) / 2, qreal(0));
    else if (alignment() & Qt::AlignBottom)
        top = qMax(contents.height() - p.height, qreal(0));
    const QRect area = QRectF(contents.x(), contents.y() + top, contents.width(), contents.height())
                           .toAlignedRect();
    QStyleOption option;
    option.initFrom(this);

    QPainter painter(this);
    painter.translate(area.topLeft());
    painter.setClipRect(area.translated(-area.topLeft()));
    painter.setPen(option.palette.color(isEnabled() ? foregroundRole() : QPalette::Text));
    layout.draw(&painter, QPointF());
}

void VersionLine::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        hint = QSize();
    QLabel::changeEvent(event);
}
