#pragma once

// What a keyboard-only or blind user meets in a window: every control they
// can operate has a name a screen reader speaks (QAccessible, as AT-SPI
// gets it), and Tab reaches each control that takes focus from Tab without
// getting caught in one of them (an editor or a table keeping Tab for
// itself). Window tests call accessibilityProblems() on their windows.

#include <algorithm>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScrollBar>
#include <QSet>
#include <QTabBar>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <QWidget>

namespace varnholt::testing {

inline bool isInteractive(const QWidget *w)
{
    if (qobject_cast<const QScrollBar *>(w))
        return false;
    return qobject_cast<const QAbstractButton *>(w) || qobject_cast<const QLineEdit *>(w)
           || qobject_cast<const QComboBox *>(w) || qobject_cast<const QAbstractSpinBox *>(w)
           || qobject_cast<const QAbstractItemView *>(w) || qobject_cast<const QTextEdit *>(w)
           || qobject_cast<const QPlainTextEdit *>(w) || qobject_cast<const QAbstractSlider *>(w)
           || qobject_cast<const QTabBar *>(w);
}

// A control inside another control (the line edit of a spin box or a
// combo box, a header of a table) is part of that one.
inline bool isPartOfControl(const QWidget *w, const QWidget *window)
{
    for (const QWidget *p = w->parentWidget(); p && p != window; p = p->parentWidget()) {
        if (isInteractive(p))
            return true;
    }
    return false;
}

inline QString describeWidget(const QWidget *w)
{
    QString text = QString::fromLatin1(w->metaObject()->className());
    if (!w->objectName().isEmpty())
        text += QStringLiteral(" \"") + w->objectName() + u'"';
    if (const auto *b = qobject_cast<const QAbstractButton *>(w); b && !b->text().isEmpty())
        text += QStringLiteral(" [") + b->text() + u']';
    return text;
}

inline QList<QWidget *> operableControls(QWidget *window)
{
    QList<QWidget *> controls;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (w->isVisibleTo(window) && w->isEnabled() && isInteractive(w) && !isPartOfControl(w, window))
            controls << w;
    }
    return controls;
}

// The problems found, one line each; empty when there are none. The window
// is shown and activated for the Tab walk.
inline QStringList accessibilityProblems(QWidget *window)
{
    QStringList problems;
    window->show();
    QApplication::setActiveWindow(window);
    if (!QTest::qWaitForWindowActive(window))
        return {QStringLiteral("the window could not be activated")};

    const QList<QWidget *> controls = operableControls(window);
    for (QWidget *w : controls) {
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(w);
        const QString name = face ? face->text(QAccessible::Name).remove(u'&').trimmed() : QString();
        if (name.isEmpty())
            problems << describeWidget(w) + QStringLiteral(": no name for a screen reader");
    }

    QList<QWidget *> tabStops;
    for (QWidget *w : controls) {
        if ((w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus)
            tabStops << w;
    }
    if (tabStops.isEmpty())
        return problems;
    if (!window->focusWidget() || !window->isAncestorOf(window->focusWidget()))
        tabStops.first()->setFocus(Qt::TabFocusReason);
    // A control may take a few presses for its own parts (the sections of
    // a date edit); one that keeps the focus longer keeps Tab for itself.
    constexpr int kOwnParts = 8;
    QSet<QWidget *> reached;
    QSet<QWidget *> trapping;
    int kept = 0;
    for (int press = 0; press < 2 * tabStops.size() + 4 + kOwnParts; ++press) {
        QWidget *focus = QApplication::focusWidget();
        if (!focus)
            break;
        for (QWidget *w = focus; w && w != window; w = w->parentWidget())
            reached.insert(w);
        QTest::keyClick(focus, Qt::Key_Tab);
        kept = QApplication::focusWidget() == focus ? kept + 1 : 0;
        if (kept > kOwnParts && tabStops.size() > 1 && !trapping.contains(focus)) {
            trapping.insert(focus);
            problems << describeWidget(focus) + QStringLiteral(": keeps Tab for itself");
            // Go on walking past it.
            if (QWidget *next = focus->nextInFocusChain(); next && next != focus)
                next->setFocus(Qt::TabFocusReason);
            kept = 0;
        }
    }
    if (qEnvironmentVariableIsSet("VARNHOLT_A11Y_DEBUG")) {
        for (QWidget *w : controls) {
            QAccessibleInterface *face = QAccessible::queryAccessibleInterface(w);
            qDebug() << describeWidget(w) << (face ? face->text(QAccessible::Name) : QString()) << reached.contains(w)
                     << tabStops.contains(w);
        }
    }
    // Tab enters a group of exclusive radio buttons once, at its checked
    // button; arrows move inside.
    const auto radioGroupReached = [&reached](const QWidget *w) {
        const auto *radio = qobject_cast<const QRadioButton *>(w);
        if (!radio || !radio->autoExclusive())
            return false;
        for (QWidget *other : reached) {
            const auto *r = qobject_cast<const QRadioButton *>(other);
            if (r && r->autoExclusive() && r->parentWidget() == radio->parentWidget())
                return true;
        }
        return false;
    };
    for (QWidget *w : tabStops) {
        if (!reached.contains(w) && !radioGroupReached(w))
            problems << describeWidget(w) + QStringLiteral(": not reached by Tab");
    }
    return problems;
}

// Every button, check box, radio button and page tab of the window has an
// Alt+letter of its own (labels lend theirs to their fields); no letter
// serves two of them. Buttons without a letter in their text are left out.
// A child window of the main window shares its Alt+letters with the main
// window's menu bar: pass it as `menus`.
inline QStringList mnemonicProblems(QWidget *window, const QMenuBar *menus = nullptr)
{
    QStringList problems;
    QMap<QString, QString> users; // the key, the control that has it
    const auto claim = [&](const QString &text, const QString &who, bool required) {
        const QKeySequence key = QKeySequence::mnemonic(text);
        if (key.isEmpty()) {
            if (required)
                problems << who + QStringLiteral(": no Alt+letter");
            return;
        }
        const QString name = key.toString();
        if (users.contains(name))
            problems << QStringLiteral("%1 serves both %2 and %3").arg(name, users.value(name), who);
        else
            users.insert(name, who);
    };
    if (menus) {
        for (const QAction *menu : menus->actions()) {
            if (menu->isVisible())
                claim(menu->text(), QStringLiteral("menu [%1]").arg(menu->text()), true);
        }
    }
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(window))
            continue;
        if (const auto *button = qobject_cast<const QAbstractButton *>(w)) {
            const bool hasLetter = std::any_of(button->text().cbegin(), button->text().cend(),
                                               [](QChar c) { return c.isLetter(); });
            if (hasLetter && !qobject_cast<const QToolButton *>(w))
                claim(button->text(), describeWidget(w), true);
        } else if (const auto *label = qobject_cast<const QLabel *>(w); label && label->buddy()) {
            claim(label->text(), describeWidget(w) + u' ' + label->text(), false);
        } else if (const auto *tabs = qobject_cast<const QTabBar *>(w)) {
            for (int i = 0; i < tabs->count(); ++i)
                claim(tabs->tabText(i), QStringLiteral("tab [%1]").arg(tabs->tabText(i)), true);
        }
    }
    return problems;
}

} // namespace varnholt::testing

// Fails the test with every problem of `window` listed.
#define VARNHOLT_VERIFY_ACCESSIBLE(window)                                                                      \
    do {                                                                                                        \
        const QStringList problems_ = varnholt::testing::accessibilityProblems(window);                         \
        QVERIFY2(problems_.isEmpty(), qPrintable(problems_.join(QLatin1Char('\n'))));                           \
    } while (false)

// Fails the test with every clash or missing Alt+letter of `window` listed.
#define VARNHOLT_VERIFY_MNEMONICS(window)                                                                       \
    do {                                                                                                        \
        const QStringList problems_ = varnholt::testing::mnemonicProblems(window);                              \
        QVERIFY2(problems_.isEmpty(), qPrintable(problems_.join(QLatin1Char('\n'))));                           \
    } while (false)
