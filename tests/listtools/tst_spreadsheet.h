// The spreadsheet import test (its class is declared here for moc; the
// fixtures in tst_spreadsheet.cpp hold raw strings that moc cannot parse).
#pragma once

#include "project/listtable.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <map>

class TestSpreadsheet : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_pythonMissing; // why the Python-written workbooks are missing
    std::map<QString, varnholt::ListTable *> m_imported;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool python(const char *script, const QString &file, QString *why);
    const varnholt::ListTable *imported(const QString &file, const QString &sheet = {});

private slots:
    void initTestCase();
    void cleanupTestCase();
    void values_data();
    void values();
    void rowsInOrder();
    void sheetsTitlesAndRanges_data();
    void sheetsTitlesAndRanges();
    void sheetNames();
    void unstorableCells();
    void stopLeavesTableAsItWas();
    void cellRanges_data();
    void cellRanges();
    void hostile_data();
    void hostile();
    void overlappingMerges();
    void fullHeightSheet();
};
