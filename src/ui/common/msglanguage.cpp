#include "msglanguage.h"

#include <QWidget>

namespace varnholt {

TMsgLanguage::TMsgLanguage(const QString &windowName, const QStringList &texts, QObject *parent)
    : QObject(parent)
    , m_windowName(windowName)
    , m_texts(texts)
    , m_defaults(texts)
{
}

void TMsgLanguage::setText(int index, const QString &text)
{
    if (index < 0 || index >= m_texts.size() || m_texts[index] == text)
        return;
    m_texts[index] = text;
    emit changed();
}

void TMsgLanguage::restoreDefaults()
{
    if (m_texts == m_defaults)
        return;
    m_texts = m_defaults;
    emit changed();
}

TranslationRegistry &TranslationRegistry::instance()
{
    static TranslationRegistry registry;
    return registry;
}

void TranslationRegistry::announce(QWidget *window, TMsgLanguage *messages)
{
    m_windows.removeAll(nullptr);
    m_windows.append(window);
    emit windowCreated(window, messages);
}

QList<QWidget *> TranslationRegistry::windows() const
{
    QList<QWidget *> alive;
    for (const QPointer<QWidget> &w : m_windows)
        if (w)
            alive.append(w);
    return alive;
}

} // namespace varnholt
