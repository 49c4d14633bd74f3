#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>

class QWidget;

// Message lists: every window keeps its user-visible texts in an ordered
// list and shows them by index, so a language file can replace them by
// index. A window announces itself while it is created; the translation
// of the interface hooks into TranslationRegistry::windowCreated.
namespace varnholt {

class TMsgLanguage : public QObject
{
    Q_OBJECT
public:
    // `windowName` is the window's class name, the key of its section in a
    // language file; `texts` are the English defaults in index order.
    TMsgLanguage(const QString &windowName, const QStringList &texts, QObject *parent = nullptr);

    [[nodiscard]] QString windowName() const { return m_windowName; }
    // The text of an index; an index outside the list gives an empty text.
    [[nodiscard]] QString text(int index) const { return m_texts.value(index); }
    [[nodiscard]] QString operator[](int index) const { return text(index); }
    [[nodiscard]] int count() const { return int(m_texts.size()); }
    [[nodiscard]] const QStringList &texts() const { return m_texts; }
    [[nodiscard]] const QStringList &defaults() const { return m_defaults; }

    // Replaces texts by index (a language file); indexes beyond the list are
    // ignored. restoreDefaults() goes back to English.
    void setText(int index, const QString &text);
    void restoreDefaults();

signals:
    void changed();

private:
    QString m_windowName;
    QStringList m_texts;
    QStringList m_defaults;
};

// Where windows announce themselves for translation.
class TranslationRegistry : public QObject
{
    Q_OBJECT
public:
    static TranslationRegistry &instance();

    // Called by a window while it is created (handled at once, before the
    // window is shown).
    void announce(QWidget *window, TMsgLanguage *messages);
    // The windows that announced themselves and still exist.
    [[nodiscard]] QList<QWidget *> windows() const;

signals:
    void windowCreated(QWidget *window, varnholt::TMsgLanguage *messages);

private:
    TranslationRegistry() = default;
    QList<QPointer<QWidget>> m_windows;
};

} // namespace varnholt
