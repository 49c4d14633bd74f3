#pragma once

// Whether every control of a window can be reached at the window's present
// size: for the window tests on small screens.

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QStringList>
#include <QTabBar>
#include <QTextEdit>
#include <QWidget>

namespace varnholt::testing {

// The controls of `window` (buttons, boxes, lines, lists, editors, tab bars
// shown in it) that a user cannot reach as it is: cut off by the edge of
// the window or of one of their parents, or squeezed below the size they
// need. Each as "name (class): why". The parts of a list or an editor (its
// headers, its cell editor) are that list's business and are not looked at.
// With `scrolling`, the contents of a scroll area count as reachable where
// they can be scrolled into view; without it, they must be in view.
enum class Scrolling { NotNeeded, Allowed };
[[nodiscard]] inline QStringList unreachableControls(const QWidget *window, Scrolling scrolling = Scrolling::NotNeeded)
{
    QStringList faults;
    for (const QWidget *w : window->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(window))
            continue;
        const bool control = qobject_cast<const QAbstractButton *>(w) || qobject_cast<const QComboBox *>(w)
            || qobject_cast<const QLineEdit *>(w) || qobject_cast<const QAbstractScrollArea *>(w)
            || qobject_cast<const QTabBar *>(w) || qobject_cast<const QAbstractSpinBox *>(w);
        // A spin box sizes its own line edit: the spin box is the control.
        if (!control || qobject_cast<const QAbstractSpinBox *>(w->parentWidget()))
            continue;
        // The part of the control left visible by each parent up to the window.
        QRect visible = w->rect();
        bool partOfList = false;
        for (const QWidget *child = w; child != window && child->parentWidget(); child = child->parentWidget()) {
            const QWidget *parent = child->parentWidget();
            if (qobject_cast<const QAbstractItemView *>(parent) || qobject_cast<const QPlainTextEdit *>(parent)
                || qobject_cast<const QTextEdit *>(parent)) {
                partOfList = true; // its header, its cell editor
                break;
            }
            if (scrolling == Scrolling::Allowed) {
                auto *area = qobject_cast<const QScrollArea *>(parent->parentWidget());
                if (area && area->widget() == child)
                    break;
            }
            visible = visible.translated(child->pos()).intersected(parent->rect());
        }
        if (partOfList)
            continue;
        const QString name =
            QStringLiteral("%1 (%2)").arg(w->objectName(), QString::fromLatin1(w->metaObject()->className()));
        if (visible.size() != w->size()) {
            faults << QStringLiteral("%1: %2x%3 of %4x%5 visible")
                          .arg(name)
                          .arg(visible.width())
                          .arg(visible.height())
                          .arg(w->width())
                          .arg(w->height());
            continue;
        }
        // The size it needs, unless the window itself keeps it smaller.
        const QSize least = w->minimumSizeHint().expandedTo(w->minimumSize()).boundedTo(w->maximumSize());
        if (w->width() < least.width() || w->height() < least.height())
            faults << QStringLiteral("%1: %2x%3, needs %4x%5")
                          .arg(name)
                          .arg(w->width())
                          .arg(w->height())
                          .arg(least.width())
                          .arg(least.height());
    }
    return faults;
}

} // namespace varnholt::testing
