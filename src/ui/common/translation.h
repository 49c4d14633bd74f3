#pragma once

#include "languagefile.h"

#include <QList>
#include <QString>

class QObject;
class QWidget;

// Translating a window from a language file, and writing a window's English
// texts into one (the template translators start from).
//
// The section of a window is the name its message list announced
// (TMsgLanguage::windowName) in upper case: "TPostSrv" -> [TPOSTSRV]. A
// window without a message list uses its C++ class name without namespace.
//
// Keys:
//   Self.Caption                  the window title (exactly these letters;
//                                 "Self.caption" names a component "Self")
//   name.Property                 a text of the component `name`
//   name.Property.N               entry N (from 0) of a list of texts
//   name.Property.N.ItemProperty  a text of item N of a collection
//
// Components are the window's descendants with an object name (not names
// starting "qt_", which are Qt's own), found without regard to letter case;
// the window's message list is "msl" unless it has an object name of its
// own. A label without an object name whose buddy has one is the component
// "<buddy>Label" (the label of a field "subjectEdit" is "subjectEditLabel",
// a QFormLayout row's label included). Another window inside this one (a child window of the main window's
// area, a dialog) is not part of it; its own section translates it. An
// object with the dynamic property "translate" set to false is skipped
// with everything inside it (a list that holds data, not words); on the
// window itself it keeps the title, which then holds data such as a file
// name (Self.Caption is neither written nor applied).
//
// The mapping onto Qt, in one place (translation.cpp keeps it in the same
// order); Property and ItemProperty in any letter case:
//
//   Property        object                                Qt
//   Caption         QAbstractButton, QLabel               text
//                   QGroupBox, QMenu                      title
//                   QAction (not a separator)             text
//   Text            QLineEdit, QLabel (read, not written: an edit
//                   box holds the user's data, a label's text
//                   is its Caption)                       text
//   Hint            QWidget, QAction                      toolTip (an action's
//                                                         tool tip is empty
//                                                         while it only repeats
//                                                         the text)
//   placeholderText, accessibleName, accessibleDescription, statusTip,
//   whatsThis, prefix, suffix, specialValueText
//                   any object with that Qt property      the property
//   Items.N         QComboBox (its selection kept),       item text N
//                   QListWidget, TMsgLanguage
//   Columns.N.Caption
//                   QTreeWidget, QTableWidget, an item    horizontal header
//                   view over a QStandardItemModel        section N
//   Pages.N.Caption QTabWidget                            tab text N
//   Panels.N.Text   QStatusBar                            its N-th QLabel
//
// A text property is set only when it is not empty now (a text the window
// leaves empty, such as a hint it never had, stays empty); list entries and
// collection items are set when N is within range. "~~" in a value is a
// line break; WriteTemplate writes line breaks as "~~". Anything the file
// names that the window does not have is ignored, line by line.
namespace varnholt {

// The section name of `window` in a language file.
[[nodiscard]] QString TranslationSection(const QWidget *window);

// Applies the window's section of `file`. A missing file is created empty
// (there is nothing to apply).
void TranslateWindow(QWidget *window, const QString &file);
// The same from a file already read (one read for many windows).
void TranslateWindow(QWidget *window, const LanguageFile &file);

// The keys and values WriteTemplate writes for `window`: Self.Caption, then
// each component's non-empty texts (a caption "-" is a separator and left
// out), its non-empty list entries and every collection item.
[[nodiscard]] QList<LanguageFile::Entry> TemplateEntries(QWidget *window);

// Writes them into the window's section of `file`: existing keys get the
// new values, other keys stay. False (and `error`) when the file cannot be
// written.
bool WriteTemplate(QWidget *window, const QString &file, QString *error = nullptr);

} // namespace varnholt
