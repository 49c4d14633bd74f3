#pragma once

#include <QChar>

class QWidget;

// The list import windows the project window opens.
namespace varnholt {

class ListTable;

// The import wizard over the project's list. True when it was left with
// "Exit" (the list may then have new records: rebuild the titles and mark
// the project modified); false when it was closed by its frame.
// `listDelimiter` is the project's list delimiter: fields that hold it (or a
// line break) cannot be kept by the list file, and the wizard offers to
// replace it before such an import.
bool ImportAddressBook(QWidget *parent, ListTable &table, QChar listDelimiter = QChar(u';'));

// The address-book import from the mail client's folder. True when the last
// import brought at least one record (the list's records were replaced).
bool ImportParlowenAddressBook(QWidget *parent, ListTable &table);

} // namespace varnholt
