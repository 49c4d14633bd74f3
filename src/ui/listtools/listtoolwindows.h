#pragma once

#include <QString>

class QWidget;

// The entry operations of the list tools' windows: each creates its modal
// window on `table`, runs it and frees it. The list editor and the project
// window call them on their own table.
namespace varnholt {

class ListTable;

// "Remove duplicates " (TfUni). Nothing to return: the caller counts the
// table as changed after every call.
void RemoveDuplicates(QWidget *parent, ListTable &table);

// "Filter" (TFilterForm1). True when records were removed. The save dialog
// for the removed records starts in `removedFolder` (the folder of the
// project last opened; the current folder when empty).
bool FilterAddressBook(QWidget *parent, ListTable &table, const QString &removedFolder = {});

// "Replace Form" (T_Replace). The caller counts the table as changed after
// every call.
void ReplaceInAddressBook(QWidget *parent, ListTable &table);

} // namespace varnholt
