#include "listareabatch.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLayout>
#include <QSet>
#include <QWidget>

ListAreaBatch::ListAreaBatch(QWidget *area)
    : area(area)
    , wasVisible(area->isVisible())
{
    if (wasVisible)
        area->hide();
}

ListAreaBatch::~ListAreaBatch()
{
    if (!wasVisible)
        return;
    // Measured: each widget shown asks for a repaint of its own, and the repaint compares every
    // widget that asked with all of its siblings, in quadratic time. Shown while the area has no
    // height, the widgets have empty rectangles and ask for nothing; laid out again at the
    // area's size, they are repainted with the area, as a whole. The scroll area usually gives
    // the area its size back while it is being shown, too early for its layout to see it.
    const QSize size = area->size();
    area->resize(size.width(), 0);
    area->show();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateLater);
    if (area->height() == 0)
        area->resize(size);
    if (QLayout *layout = area->layout()) {
        layout->invalidate();
        layout->activate();
    }
}

void ListAreaBatch::deleteWidgets(QLayout *layout, const QList<QWidget *> &widgets)
{
    QSet<QWidget *> remaining(widgets.cbegin(), widgets.cend());
    for (int i = 0; !remaining.isEmpty();) {
        QLayoutItem *item = layout->itemAt(i);
        if (!item)
            break;
        QWidget *widget = item->widget();
        if (widget && remaining.remove(widget))
            delete widget; // also takes it out of the layout, so item i is the next one now
        else
            ++i;
    }
    qDeleteAll(remaining);
    // Measured: when the layout requests queued so far run only after the next page's widgets
    // are in place, the repaint that follows compares each of those widgets with all of its
    // siblings, which takes quadratic time. Run now, on the emptied area, they cost next to
    // nothing.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
}
