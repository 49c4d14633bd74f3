#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QAction;
class QActionGroup;
class QWidget;

// The interface language: the Language menu, and every window translated
// from the chosen language file once it is built.
//
// Settings (TIniInfo): `LangFile` is the language in use, a file name
// without ".lan" in the program folder ("language", or "language.lan" as
// the settings file starts, is English, the built-in texts); `LangOn` says
// a language file is applied; `LangInit`, while English is in use, has
// every window write its texts into "language.lan" (the template) as it
// opens.
namespace varnholt {

struct TIniInfo;
class TMsgLanguage;

class LanguageSwitch : public QObject
{
    Q_OBJECT
public:
    // `settings` is the program-wide record; `folder` the program folder.
    LanguageSwitch(TIniInfo &settings, const QString &folder, QObject *parent = nullptr);

    // The languages of the folder's "*.lan" files (any letter case of the
    // extension) except the template: the names without ".lan", in lower
    // case, sorted, each once.
    [[nodiscard]] static QStringList languagesIn(const QString &folder);
    // Whether `langFile` names the built-in English.
    [[nodiscard]] static bool isDefaultLanguage(const QString &langFile);

    // The file of `language`: "<language>.lan" in the folder, or the file
    // whose name differs from it only in letter case; empty when none exists.
    [[nodiscard]] QString findLanguageFile(const QString &language) const;
    // The file TranslateWindow reads for the current language.
    [[nodiscard]] QString currentFile() const;

    // Fills `menu`: "Default (English)", then one item per language, and
    // checks the current one. A language whose file is gone falls back to
    // English (and the settings say so).
    void setMenu(QMenu *menu);
    [[nodiscard]] QMenu *menu() const { return m_menu; }

    // Chooses a language ("language" or empty: English) as the menu does:
    // the settings change and every open window is translated at once.
    // English only stops translating; translated windows keep their texts
    // until they open again.
    void chooseLanguage(const QString &language);

    // Translates every window that announced itself and still exists.
    void translateOpenWindows();

    // Connected to TranslationRegistry::windowCreated. The window is still
    // being built then, so its template and translation wait until it is
    // first shown or control returns to the event loop, whichever comes
    // first; each window is handled once.
    void windowCreated(QWidget *window, varnholt::TMsgLanguage *messages = nullptr);

signals:
    // After a window was translated (or its template written).
    void windowTranslated(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void prepareWindow(QWidget *window);
    void markCurrent();

    TIniInfo &m_settings;
    QString m_folder;
    QPointer<QMenu> m_menu;
    QActionGroup *m_group = nullptr;
};

} // namespace varnholt
