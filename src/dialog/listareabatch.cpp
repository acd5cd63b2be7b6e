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
    if (wasVisible)
        area->show();
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
