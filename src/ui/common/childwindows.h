#pragma once

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QString>

// Looking up the main window's child windows by class.
namespace varnholt {

// The class name of a window without its namespace ("TNewMod2MessageForm").
[[nodiscard]] QString windowClassName(const QObject *window);

// `FindChildWindow`: the position, among the area's child windows in the
// order they were created, of the first whose class name equals
// `className` without regard to case; -1 when there is none.
[[nodiscard]] int FindChildWindow(const QMdiArea *area, const QString &className);

// The first child window of type T, or null.
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
