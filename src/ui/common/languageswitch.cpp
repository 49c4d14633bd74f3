#include "languageswitch.h"

#include "msglanguage.h"
#include "translation.h"

#include "settings/settings.h"

#include <QAction>
#include <QActionGroup>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QMenu>
#include <QTimer>
#include <QWidget>

namespace varnholt {

namespace {

const QString kDefaultLanguage = QStringLiteral("language");
const QString kExtension = QStringLiteral(".lan");
// Set on a window once it has been handled at its creation.
constexpr char kPreparedProperty[] = "varnholtLanguagePrepared";

QString withSlash(QString folder)
{
    if (!folder.isEmpty() && !folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

// "deutsch" from a LangFile value, which may carry the extension.
QString languageName(const QString &langFile)
{
    QString name = langFile.trimmed();
    if (name.endsWith(kExtension, Qt::CaseInsensitive))
        name.chop(4);
    return name;
}

// A menu shows "&" as a mnemonic mark; a file name's own stays visible.
QString menuText(QString name)
{
    return name.replace(u'&', QStringLiteral("&&"));
}

} // namespace

LanguageSwitch::LanguageSwitch(TIniInfo &settings, const QString &folder, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_folder(withSlash(folder))
{
}

bool LanguageSwitch::isDefaultLanguage(const QString &langFile)
{
    const QString name = languageName(langFile);
    return name.isEmpty() || name.compare(kDefaultLanguage, Qt::CaseInsensitive) == 0;
}

QStringList LanguageSwitch::languagesIn(const QString &folder)
{
    QStringList names;
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo &f : files) {
        const QString lower = f.fileName().toLower();
        if (!lower.endsWith(kExtension) || lower.size() <= 4)
            continue;
        const QString name = lower.chopped(4);
        if (name != kDefaultLanguage)
            names.append(name);
    }
    names.sort();
    names.removeDuplicates();
    return names;
}

QString LanguageSwitch::findLanguageFile(const QString &language) const
{
    const QString wanted = languageName(language) + kExtension;
    if (QFileInfo(m_folder + wanted).isFile())
        return m_folder + wanted;
    // On a file system that tells letter cases apart the menu's lower-case
    // name may stand for "Deutsch.lan"; the lower-case file comes first.
    const QFileInfoList files = QDir(m_folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo &f : files)
        if (f.fileName().compare(wanted, Qt::CaseInsensitive) == 0)
            return f.filePath();
    return {};
}

QString LanguageSwitch::currentFile() const
{
    const QString found = findLanguageFile(m_settings.LangFile);
    return found.isEmpty() ? m_folder + languageName(m_settings.LangFile) + kExtension : found;
}

void LanguageSwitch::setMenu(QMenu *menu)
{
    if (m_menu)
        m_menu->clear();
    delete m_group;
    m_menu = menu;
    m_menu->clear();
    m_group = new QActionGroup(this);
    m_group->setExclusive(true);
    const auto add = [this](const QString &text, const QString &language) {
        QAction *a = m_menu->addAction(text);
        a->setCheckable(true);
        a->setData(language);
        m_group->addAction(a);
        connect(a, &QAction::triggered, this, [this, language] { chooseLanguage(language); });
    };
    add(QStringLiteral("Default (English)"), QString());
    for (const QString &language : languagesIn(m_folder))
        add(menuText(language), language);
    markCurrent();
}

void LanguageSwitch::markCurrent()
{
    if (!m_menu)
        return;
    const QList<QAction *> items = m_group->actions();
    for (QAction *a : items)
        a->setChecked(false);
    bool checked = false;
    if (m_settings.LangOn && !isDefaultLanguage(m_settings.LangFile)
        && !findLanguageFile(m_settings.LangFile).isEmpty()) {
        const QString current = languageName(m_settings.LangFile);
        for (qsizetype i = 1; i < items.size(); ++i) {
            if (items[i]->data().toString().compare(current, Qt::CaseInsensitive) == 0) {
                items[i]->setChecked(true);
                checked = true;
            }
        }
    }
    if (!checked) {
        m_settings.LangFile = kDefaultLanguage;
        m_settings.LangOn = false;
        items.first()->setChecked(true);
    }
}

void LanguageSwitch::chooseLanguage(const QString &language)
{
    if (isDefaultLanguage(language)) {
        m_settings.LangOn = false;
        m_settings.LangFile = kDefaultLanguage;
    } else {
        m_settings.LangFile = languageName(language);
        m_settings.LangOn = true;
        m_settings.LangInit = false;
    }
    if (m_group) {
        for (QAction *a : m_group->actions())
            a->setChecked(isDefaultLanguage(language) ? a->data().toString().isEmpty()
                                                      : a->data().toString() == languageName(language));
    }
    translateOpenWindows();
}

void LanguageSwitch::translateOpenWindows()
{
    if (!m_settings.LangOn)
        return;
    const QString file = currentFile();
    if (!QFileInfo::exists(file))
        return;
    LanguageFile lan;
    lan.load(file);
    for (QWidget *window : TranslationRegistry::instance().windows()) {
        TranslateWindow(window, lan);
        window->update();
        emit windowTranslated(window);
    }
}

void LanguageSwitch::windowCreated(QWidget *window, TMsgLanguage *)
{
    if (!window || window->property(kPreparedProperty).toBool())
        return;
    window->installEventFilter(this);
    QTimer::singleShot(0, this, [this, w = QPointer<QWidget>(window)] {
        if (w)
            prepareWindow(w);
    });
}

bool LanguageSwitch::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        if (auto *w = qobject_cast<QWidget *>(watched))
            prepareWindow(w);
    }
    return QObject::eventFilter(watched, event);
}

void LanguageSwitch::prepareWindow(QWidget *window)
{
    window->removeEventFilter(this);
    if (window->property(kPreparedProperty).toBool())
        return;
    window->setProperty(kPreparedProperty, true);
    // The template takes the English texts, before any translation.
    if (m_settings.LangInit && isDefaultLanguage(m_settings.LangFile))
        WriteTemplate(window, m_folder + kDefaultLanguage + kExtension); // a failure is not worth a message
    if (m_settings.LangOn)
        TranslateWindow(window, currentFile());
    window->update();
    emit windowTranslated(window);
}

} // namespace varnholt
