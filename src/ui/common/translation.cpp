#include "translation.h"

#include "msglanguage.h"

#include "settings/textfile.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMetaProperty>
#include <QSet>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QWidget>

#include <array>

namespace varnholt {

namespace {

// ---- the mapping onto Qt (documented in translation.h) -------------------------

template <class T>
bool is(const QObject *o)
{
    return qobject_cast<const T *>(o) != nullptr;
}
template <class T>
const T *as(const QObject *o)
{
    return static_cast<const T *>(o);
}
template <class T>
T *as(QObject *o)
{
    return static_cast<T *>(o);
}

// The tool tip Qt shows for an action without one of its own.
QString strippedText(QString s)
{
    s.remove(QStringLiteral("..."));
    for (qsizetype i = 0; i < s.size(); ++i)
        if (s.at(i) == u'&')
            s.remove(i, 1);
    return s.trimmed();
}

QString actionHint(const QAction *a)
{
    const QString tip = a->toolTip();
    return tip == strippedText(a->text()) ? QString() : tip;
}

struct TextBinding {
    const char *key;
    bool written; // part of a template
    bool (*applies)(const QObject *);
    QString (*get)(const QObject *);
    void (*set)(QObject *, const QString &);
};

const std::array kTexts = {
    TextBinding{"Caption", true, is<QAbstractButton>, [](const QObject *o) { return as<QAbstractButton>(o)->text(); },
                [](QObject *o, const QString &v) { as<QAbstractButton>(o)->setText(v); }},
    TextBinding{"Caption", true, is<QLabel>, [](const QObject *o) { return as<QLabel>(o)->text(); },
                [](QObject *o, const QString &v) { as<QLabel>(o)->setText(v); }},
    TextBinding{"Caption", true, is<QGroupBox>, [](const QObject *o) { return as<QGroupBox>(o)->title(); },
                [](QObject *o, const QString &v) { as<QGroupBox>(o)->setTitle(v); }},
    TextBinding{"Caption", true, is<QMenu>, [](const QObject *o) { return as<QMenu>(o)->title(); },
                [](QObject *o, const QString &v) { as<QMenu>(o)->setTitle(v); }},
    TextBinding{"Caption", true, [](const QObject *o) { return is<QAction>(o) && !as<QAction>(o)->isSeparator(); },
                [](const QObject *o) { return as<QAction>(o)->text(); },
                [](QObject *o, const QString &v) { as<QAction>(o)->setText(v); }},
    TextBinding{"Text", false, is<QLineEdit>, [](const QObject *o) { return as<QLineEdit>(o)->text(); },
                [](QObject *o, const QString &v) { as<QLineEdit>(o)->setText(v); }},
    TextBinding{"Text", false, is<QLabel>, [](const QObject *o) { return as<QLabel>(o)->text(); },
                [](QObject *o, const QString &v) { as<QLabel>(o)->setText(v); }},
    TextBinding{"Hint", true, is<QWidget>, [](const QObject *o) { return as<QWidget>(o)->toolTip(); },
                [](QObject *o, const QString &v) { as<QWidget>(o)->setToolTip(v); }},
    TextBinding{"Hint", true, is<QAction>, [](const QObject *o) { return actionHint(as<QAction>(o)); },
                [](QObject *o, const QString &v) { as<QAction>(o)->setToolTip(v); }},
};

// Qt's own text properties, under their Qt names.
const std::array kQtTextProperties = {
    "placeholderText", "accessibleName", "accessibleDescription", "statusTip",
    "whatsThis",       "prefix",         "suffix",                "specialValueText",
};

struct ListBinding {
    const char *key;
    bool (*applies)(const QObject *);
    int (*count)(const QObject *);
    QString (*get)(const QObject *, int);
    void (*set)(QObject *, int, const QString &);
};

const std::array kLists = {
    ListBinding{"Items", is<QComboBox>, [](const QObject *o) { return as<QComboBox>(o)->count(); },
                [](const QObject *o, int i) { return as<QComboBox>(o)->itemText(i); },
                [](QObject *o, int i, const QString &v) {
                    // The selection is the user's (or the window's) choice, not a text.
                    auto *box = as<QComboBox>(o);
                    const int selected = box->currentIndex();
                    box->setItemText(i, v);
                    if (box->currentIndex() != selected)
                        box->setCurrentIndex(selected);
                }},
    ListBinding{"Items", is<QListWidget>, [](const QObject *o) { return as<QListWidget>(o)->count(); },
                [](const QObject *o, int i) { return as<QListWidget>(o)->item(i)->text(); },
                [](QObject *o, int i, const QString &v) { as<QListWidget>(o)->item(i)->setText(v); }},
    ListBinding{"Items", is<TMsgLanguage>, [](const QObject *o) { return as<TMsgLanguage>(o)->count(); },
                [](const QObject *o, int i) { return as<TMsgLanguage>(o)->text(i); },
                [](QObject *o, int i, const QString &v) { as<TMsgLanguage>(o)->setText(i, v); }},
};

// Item views whose header texts belong to the window (not to the data).
bool hasOwnHeader(const QObject *o)
{
    if (is<QTreeWidget>(o) || is<QTableWidget>(o))
        return true;
    const auto *view = qobject_cast<const QAbstractItemView *>(o);
    return view && qobject_cast<const QStandardItemModel *>(view->model());
}

QList<QLabel *> statusPanels(const QObject *o)
{
    return as<QStatusBar>(o)->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
}

struct CollectionBinding {
    const char *key;
    const char *itemKey;
    bool (*applies)(const QObject *);
    int (*count)(const QObject *);
    QString (*get)(const QObject *, int);
    void (*set)(QObject *, int, const QString &);
};

const std::array kCollections = {
    CollectionBinding{"Columns", "Caption", hasOwnHeader,
                      [](const QObject *o) { return as<QAbstractItemView>(o)->model()->columnCount(); },
                      [](const QObject *o, int i) {
                          return as<QAbstractItemView>(o)->model()->headerData(i, Qt::Horizontal).toString();
                      },
                      [](QObject *o, int i, const QString &v) {
                          as<QAbstractItemView>(o)->model()->setHeaderData(i, Qt::Horizontal, v);
                      }},
    CollectionBinding{"Pages", "Caption", is<QTabWidget>, [](const QObject *o) { return as<QTabWidget>(o)->count(); },
                      [](const QObject *o, int i) { return as<QTabWidget>(o)->tabText(i); },
                      [](QObject *o, int i, const QString &v) { as<QTabWidget>(o)->setTabText(i, v); }},
    CollectionBinding{"Panels", "Text", is<QStatusBar>, [](const QObject *o) { return int(statusPanels(o).size()); },
                      [](const QObject *o, int i) { return statusPanels(o).at(i)->text(); },
                      [](QObject *o, int i, const QString &v) { statusPanels(o).at(i)->setText(v); }},
};

bool sameName(const char *name, QStringView key)
{
    return key.compare(QLatin1StringView(name), Qt::CaseInsensitive) == 0;
}

// The Qt text property `key` names on `o` (any letter case), or an invalid one.
QMetaProperty qtTextProperty(const QObject *o, QStringView key)
{
    for (const char *name : kQtTextProperties) {
        if (!sameName(name, key))
            continue;
        const QMetaProperty p = o->metaObject()->property(o->metaObject()->indexOfProperty(name));
        if (p.isValid() && p.isWritable() && p.metaType().id() == QMetaType::QString)
            return p;
    }
    return {};
}

// ---- keys and components ---------------------------------------------------------

QString fromFile(QString value)
{
    return value.replace(QStringLiteral("~~"), QStringLiteral("\n"));
}

QString toFile(QString value)
{
    return value.replace(QStringLiteral("\r\n"), QStringLiteral("~~"))
        .replace(u'\n', QStringLiteral("~~"))
        .replace(u'\r', QStringLiteral("~~"));
}

struct Key {
    QStringView component;
    QStringView property;
    int index = -1;
    QStringView itemProperty;
};

int indexOf(QStringView text)
{
    if (text.isEmpty())
        return -1;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return -1;
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok ? n : -1;
}

Key parseKey(QStringView key)
{
    Key k;
    const qsizetype dot = key.indexOf(u'.');
    if (dot < 0) {
        k.component = key;
        return k;
    }
    k.component = key.first(dot);
    const QStringView rest = key.sliced(dot + 1);
    const qsizetype dot2 = rest.indexOf(u'.');
    if (dot2 < 0) {
        k.property = rest;
        return k;
    }
    k.property = rest.first(dot2);
    const QStringView remainder = rest.sliced(dot2 + 1);
    const qsizetype dot3 = remainder.indexOf(u'.');
    if (dot3 < 0) {
        k.index = indexOf(remainder);
    } else {
        k.index = indexOf(remainder.first(dot3));
        k.itemProperty = remainder.sliced(dot3 + 1);
    }
    return k;
}

struct Component {
    QString name;
    QObject *object;
};

TMsgLanguage *messageListOf(const QWidget *window)
{
    return window->findChild<TMsgLanguage *>(QString(), Qt::FindDirectChildrenOnly);
}

// False for an object marked "translate" false (a list that holds data).
bool translated(const QObject *o)
{
    const QVariant translate = o->property("translate");
    return !translate.isValid() || translate.toBool();
}

// An unnamed label is named after the control it labels: "<buddy>Label"
// (a QFormLayout row's label has its field as buddy).
QString buddyLabelName(const QObject *o)
{
    const auto *label = qobject_cast<const QLabel *>(o);
    const QWidget *buddy = label ? label->buddy() : nullptr;
    if (!buddy || buddy->objectName().isEmpty() || buddy->objectName().startsWith(QStringLiteral("qt_")))
        return {};
    return buddy->objectName() + QStringLiteral("Label");
}

// The window's named descendants, nearest first; the first of a name wins.
QList<Component> componentsOf(QWidget *window)
{
    const QList<QWidget *> windows = TranslationRegistry::instance().windows();
    QList<Component> found;
    QSet<QString> names;
    QObjectList queue = window->children();
    for (qsizetype i = 0; i < queue.size(); ++i) {
        QObject *o = queue[i];
        if (const auto *w = qobject_cast<QWidget *>(o)) {
            // Another window has its own section; a menu is part of its window.
            if (windows.contains(w) || (w->isWindow() && !qobject_cast<const QMenu *>(w)))
                continue;
        }
        if (!translated(o))
            continue;
        queue.append(o->children());
        QString name = o->objectName();
        if (name.isEmpty() && qobject_cast<TMsgLanguage *>(o))
            name = QStringLiteral("msl");
        if (name.isEmpty())
            name = buddyLabelName(o);
        if (name.isEmpty() || name.startsWith(QStringLiteral("qt_")))
            continue;
        const QString lower = name.toLower();
        if (names.contains(lower))
            continue;
        names.insert(lower);
        found.append(Component{name, o});
    }
    return found;
}

void apply(QWidget *window, const QHash<QString, QObject *> &components, const LanguageFile::Entry &entry)
{
    const Key key = parseKey(entry.key);
    const QString value = fromFile(entry.value);
    if (key.component == u"Self" && key.property == u"Caption") {
        if (translated(window))
            window->setWindowTitle(value);
        return;
    }
    QObject *o = components.value(key.component.toString().toLower());
    if (!o || key.property.isEmpty())
        return;
    for (const TextBinding &b : kTexts) {
        if (sameName(b.key, key.property) && b.applies(o)) {
            if (!b.get(o).isEmpty())
                b.set(o, value);
            return;
        }
    }
    for (const ListBinding &b : kLists) {
        if (sameName(b.key, key.property) && b.applies(o)) {
            if (key.index >= 0 && key.index < b.count(o))
                b.set(o, key.index, value);
            return;
        }
    }
    for (const CollectionBinding &b : kCollections) {
        if (sameName(b.key, key.property) && b.applies(o)) {
            if (sameName(b.itemKey, key.itemProperty) && key.index >= 0 && key.index < b.count(o))
                b.set(o, key.index, value);
            return;
        }
    }
    if (const QMetaProperty p = qtTextProperty(o, key.property); p.isValid()) {
        if (!p.read(o).toString().isEmpty())
            p.write(o, value);
    }
}

} // namespace

QString TranslationSection(const QWidget *window)
{
    if (const TMsgLanguage *msl = messageListOf(window))
        return msl->windowName().toUpper();
    QString name = QString::fromLatin1(window->metaObject()->className());
    if (const qsizetype colons = name.lastIndexOf(QStringLiteral("::")); colons >= 0)
        name = name.mid(colons + 2);
    return name.toUpper();
}

void TranslateWindow(QWidget *window, const LanguageFile &file)
{
    const QList<LanguageFile::Entry> entries = file.section(TranslationSection(window));
    if (entries.isEmpty())
        return;
    QHash<QString, QObject *> components;
    for (const Component &c : componentsOf(window))
        components.insert(c.name.toLower(), c.object);
    for (const LanguageFile::Entry &entry : entries)
        apply(window, components, entry);
}

void TranslateWindow(QWidget *window, const QString &file)
{
    if (!QFileInfo::exists(file)) {
        writeFileAtomically(file, QByteArrayView()); // a failure changes nothing here
        return;
    }
    LanguageFile lan;
    lan.load(file);
    TranslateWindow(window, lan);
}

QList<LanguageFile::Entry> TemplateEntries(QWidget *window)
{
    QList<LanguageFile::Entry> entries;
    if (translated(window))
        entries.append({QStringLiteral("Self.Caption"), toFile(window->windowTitle())});
    for (const Component &c : componentsOf(window)) {
        QObject *o = c.object;
        QSet<QString> written;
        for (const TextBinding &b : kTexts) {
            if (!b.written || !b.applies(o) || written.contains(QLatin1StringView(b.key)))
                continue;
            written.insert(QLatin1StringView(b.key));
            const QString v = b.get(o);
            if (v.isEmpty() || (qstrcmp(b.key, "Caption") == 0 && v == u"-"))
                continue;
            entries.append({c.name + u'.' + QLatin1StringView(b.key), toFile(v)});
        }
        for (const char *name : kQtTextProperties) {
            const QMetaProperty p = qtTextProperty(o, QString::fromLatin1(name));
            if (!p.isValid())
                continue;
            const QString v = p.read(o).toString();
            if (!v.isEmpty())
                entries.append({c.name + u'.' + QLatin1StringView(name), toFile(v)});
        }
        for (const ListBinding &b : kLists) {
            if (!b.applies(o))
                continue;
            for (int i = 0, n = b.count(o); i < n; ++i) {
                const QString v = b.get(o, i);
                if (!v.isEmpty())
                    entries.append({QStringLiteral("%1.%2.%3").arg(c.name, QLatin1StringView(b.key)).arg(i),
                                    toFile(v)});
            }
        }
        for (const CollectionBinding &b : kCollections) {
            if (!b.applies(o))
                continue;
            for (int i = 0, n = b.count(o); i < n; ++i)
                entries.append({QStringLiteral("%1.%2.%3.%4")
                                    .arg(c.name, QLatin1StringView(b.key))
                                    .arg(i)
                                    .arg(QLatin1StringView(b.itemKey)),
                                toFile(b.get(o, i))});
        }
    }
    return entries;
}

bool WriteTemplate(QWidget *window, const QString &file, QString *error)
{
    LanguageFile lan;
    lan.load(file); // a missing file starts empty
    lan.setValues(TranslationSection(window), TemplateEntries(window));
    return lan.save(file, error);
}

} // namespace varnholt
