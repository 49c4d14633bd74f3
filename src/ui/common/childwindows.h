#pragma once

#include <QMdiArea>
#include <QMdiSubWindow>

// Looking up the main window's child windows by type.
namespace varnholt {

// The first child window of type T in the order they were created, or null.
template <typename T>
[[nodiscard]] T *findChildWindow(const QMdiArea *area)
{
    if (!area)
        return nullptr;
    for (QMdiSubWindow *sub : area->subWindowList(QMdiArea::CreationOrder))
        if (T *w = qobject_cast<T *>(sub->widget()))
            return w;
    return nullptr;
}

// The active child window when it is of type T, or null.
template <typename T>
[[nodiscard]] T *activeChildWindow(const QMdiArea *area)
{
    QMdiSubWindow *sub = area ? area->activeSubWindow() : nullptr;
    return sub ? qobject_cast<T *>(sub->widget()) : nullptr;
}

} // namespace varnholt
