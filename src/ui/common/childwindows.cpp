#include "childwindows.h"

namespace varnholt {

QString windowClassName(const QObject *window)
{
    if (!window)
        return {};
    const QString name = QString::fromLatin1(window->metaObject()->className());
    return name.mid(name.lastIndexOf(u':') + 1);
}

int FindChildWindow(const QMdiArea *area, const QString &className)
{
    if (!area)
        return -1;
    const QList<QMdiSubWindow *> children = area->subWindowList(QMdiArea::CreationOrder);
    for (int i = 0; i < children.size(); ++i)
        if (windowClassName(children[i]->widget()).compare(className, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

} // namespace varnholt
