#pragma once

#include <QList>

class QLayout;
class QWidget;

// The list area holds one widget per component, thousands on a long list. Every widget shown
// in or taken from the area while it is on screen makes the toolkit lay out the whole list
// again, so a page that changed its widgets one by one took time quadratic in their number.
// While an object of this class lives, the area is hidden; it is laid out and shown once, with
// all its widgets, when the object goes.
class ListAreaBatch
{
public:
    explicit ListAreaBatch(QWidget *area);
    ~ListAreaBatch();
    ListAreaBatch(const ListAreaBatch &) = delete;
    ListAreaBatch &operator=(const ListAreaBatch &) = delete;

    // Deletes the widgets, top to bottom: in that order the layout finds each one at the head
    // of its list, so removing all of a page's widgets takes linear time, not quadratic.
    static void deleteWidgets(QLayout *layout, const QList<QWidget *> &widgets);

private:
    QWidget *area;
    bool wasVisible;
};
