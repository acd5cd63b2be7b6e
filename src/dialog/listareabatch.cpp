#include "listareabatch.h"

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
}
