// The spreadsheet import: workbooks written by Python's openpyxl (.xlsx) and
// xlwt (.xls), and archives written here part by part with minizip (.xlsx
// structures openpyxl does not write, .ods); every kind of value as the user sees it,
// titles, ranges, sheets, cells the list cannot keep, and hostile files
// (ZIP bombs, a full-height sheet, files that are not workbooks, password
// protection, entities) refused with the list untouched and memory bounded.
#include "tst_spreadsheet.h"

#include "listtools/spreadsheet.h"
#include "project/listtable.h"
#include "settings/syscharset.h"
#include "testservers.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <zip.h>

#include <zlib.h>

#include <functional>
#include <map>

using namespace varnholt;

namespace {

const char kPython[] = "/usr/bin/python3";

// The values workbook, written by openpyxl: column A names the case.
const char kOpenpyxlScript[] = R"PY(
import sys, datetime, openpyxl
wb = openpyxl.Workbook()
ws = wb.active
ws.title = "Values"
def add(label, *values, fmt=None):
    ws.append([label, *values])
    if fmt:
        ws.cell(row=ws.max_row, column=2).number_format = fmt
add("integer", 42)
add("integral float", 42.0)
add("decimal", 1.5)
add("rounding noise", 0.1 + 0.2)
add("negative", -3.25)
add("phone number", 4915112345678)
add("large", 1.5e20)
add("leading zeros", "007")
add("unicode", "Zo\u00eb \u03a9\u03bc\u03ad\u03b3\u03b1 \u6771\u4eac")
add("date", datetime.date(2024, 3, 5))
add("custom date format", datetime.date(2023, 12, 31), fmt="dd.mm.yyyy")
add("date and time", datetime.datetime(2024, 3, 5, 13, 30))
add("time", datetime.time(13, 30))
add("boolean", True)
add("percent", 0.125, fmt="0.0%")
add("formula without a cached result", "=2*21")
ws.append([])
ws.append([])
add("after empty rows", "x")
add("merged", "top-left", None, "tail")
add("merged below", None, None)
ws.merge_cells("B%d:C%d" % (ws.max_row - 1, ws.max_row))
add("wide", 1, None, None, None, None, None, 7)
r = wb.create_sheet("Recipients")
r.append(["Name", "E-mail", "Zip"])
r.append(["Ann", "ann@example.test", "01234"])
r.append(["Bob", "bob@example.test", "09876"])
r.append(["Cid", "cid@example.test", "11111"])
u = wb.create_sheet("Unstorable")
u.append(["fine", "cells"])
u.append(["Smith; John", "x"])
u.append(["two\nlines", "y"])
u.append(["Doe; Jane", "z"])
wb.save(sys.argv[1])
)PY";

// The same kinds of value in an .xls workbook, written by xlwt.
const char kXlwtScript[] = R"PY(
import sys, datetime, xlwt
wb = xlwt.Workbook(encoding="utf-8")
ws = wb.add_sheet("Values")
rows = [("integer", 42, None), ("integral float", 42.0, None), ("decimal", 1.5, None),
        ("leading zeros", "007", None), ("unicode", "Zo\u00eb \u03a9\u03bc\u03ad\u03b3\u03b1 \u6771\u4eac", None),
        ("date", datetime.date(2024, 3, 5), "YYYY-MM-DD"),
        ("date and time", datetime.datetime(2024, 3, 5, 13, 30), "YYYY-MM-DD hh:mm")]
r = 0
for label, value, fmt in rows:
    ws.write(r, 0, label)
    if fmt:
        ws.write(r, 1, value, xlwt.easyxf(num_format_str=fmt))
    else:
        ws.write(r, 1, value)
    r += 1
r += 2
ws.write(r, 0, "after empty rows")
ws.write(r, 1, "x")
wb.add_sheet("Second").write(0, 0, "other")
wb.save(sys.argv[1])
)PY";

// An OLE compound file as a password-protected .xlsx is saved: the
// streams EncryptionInfo and EncryptedPackage (their bytes are noise here).
// olefile, which nobody here wrote, must read it back.
const char kEncryptedScript[] = R"PY(
import sys, struct, os, olefile
S = 512
END, FREE, FATSECT, NOSTREAM = 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFD, 0xFFFFFFFF
info = os.urandom(4096)
package = struct.pack("<Q", 8000) + os.urandom(8184)
header = b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + b"\0" * 16 + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6)
header += b"\0" * 6 + struct.pack("<IIIIIIIII", 0, 1, 1, 0, 4096, END, 0, END, 0)
header += struct.pack("<I", 0) + struct.pack("<I", FREE) * 108
fat = [FATSECT, END] + list(range(3, 10)) + [END] + list(range(11, 26)) + [END]
fat += [FREE] * (128 - len(fat))
def entry(name, kind, child, right, start, size):
    n = name.encode("utf-16-le") + b"\0\0" if name else b""
    return (n.ljust(64, b"\0") + struct.pack("<HBB", len(n), kind, 1 if kind else 0)
            + struct.pack("<III", NOSTREAM, right, child) + b"\0" * 36 + struct.pack("<IQ", start, size))
directory = (entry("Root Entry", 5, 1, NOSTREAM, END, 0) + entry("EncryptionInfo", 2, NOSTREAM, 2, 2, len(info))
             + entry("EncryptedPackage", 2, NOSTREAM, NOSTREAM, 10, len(package))
             + entry("", 0, NOSTREAM, NOSTREAM, 0, 0))
with open(sys.argv[1], "wb") as f:
    f.write(header + struct.pack("<128I", *fat) + directory + info + package)
ole = olefile.OleFileIO(sys.argv[1])
assert ole.exists("EncryptedPackage") and ole.exists("EncryptionInfo"), ole.listdir()
)PY";

QByteArrayList rowOf(const ListTable &table, int row)
{
    QByteArrayList out;
    for (int c = 0; c < table.columnCount(); ++c)
        out << table.cellBytes(row, c).toByteArray();
    while (!out.isEmpty() && out.back().isEmpty())
        out.removeLast();
    return out;
}

// The row whose first cell is `label`, without that cell.
std::optional<QByteArrayList> labelled(const ListTable &table, const QByteArray &label)
{
    for (int r = 0; r < table.rowCount(); ++r) {
        if (table.cellBytes(r, 0) == label)
            return rowOf(table, r).mid(1);
    }
    return std::nullopt;
}

using Parts = std::vector<std::pair<QString, QByteArray>>;
using PartWriter = std::function<bool(QByteArrayView)>;
// Writes the part `streamed` of `parts` (when one is named so) by calling
// `write` with a writer into the open part instead of from its bytes.
bool writeZip(const QString &path, const Parts &parts, const QString &streamed = {},
              const std::function<void(const PartWriter &)> &write = {})
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    bool ok = true;
    for (const auto &[name, bytes] : parts) {
        zip_fileinfo info{};
        if (zipOpenNewFileInZip64(zip, name.toUtf8().constData(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                  Z_BEST_COMPRESSION, 0)
            != ZIP_OK) {
            ok = false;
            break;
        }
        const PartWriter writer = [&](QByteArrayView data) {
            return zipWriteInFileInZip(zip, data.data(), unsigned(data.size())) == ZIP_OK;
        };
        if (name == streamed)
            write(writer);
        else
            ok = writer(bytes) && ok;
        ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

const char kContentTypes[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>)";
const char kRootRels[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/>
</Relationships>)";

// The parts of an .xlsx archive from its sheet XML (the sheetData's rows),
// shared strings and the head and tail of the sheet.
Parts xlsxParts(const QByteArray &sheetRows, const QByteArray &sharedStrings = {},
               const QByteArray &workbookPr = {}, const QByteArray &sheetHead = {}, const QByteArray &sheetTail = {})
{
    const QByteArray workbook = R"(<?xml version="1.0" encoding="UTF-8"?>
<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">)"
                                + workbookPr + R"(<sheets><sheet name="Data" sheetId="1" r:id="rId1"/></sheets></workbook>)";
    const QByteArray rels = R"(<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/>
<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="sharedStrings.xml"/>
<Relationship Id="rId3" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles" Target="styles.xml"/>
</Relationships>)";
    const QByteArray styles = R"(<?xml version="1.0" encoding="UTF-8"?>
<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">
<numFmts count="1"><numFmt numFmtId="170" formatCode="[$-409]d\-mmm\-yy;@"/></numFmts>
<cellXfs count="3"><xf numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="170"/></cellXfs></styleSheet>)";
    const QByteArray sheet = sheetHead.isEmpty() ? QByteArray(R"(<?xml version="1.0" encoding="UTF-8"?>
<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)")
                                                 : sheetHead;
    std::vector<std::pair<QString, QByteArray>> parts = {
        {QStringLiteral("[Content_Types].xml"), kContentTypes},
        {QStringLiteral("_rels/.rels"), kRootRels},
        {QStringLiteral("xl/workbook.xml"), workbook},
        {QStringLiteral("xl/_rels/workbook.xml.rels"), rels},
        {QStringLiteral("xl/styles.xml"), styles},
        {QStringLiteral("xl/worksheets/sheet1.xml"),
         sheet + "<sheetData>" + sheetRows + "</sheetData>" + sheetTail + "</worksheet>"},
    };
    if (!sharedStrings.isEmpty())
        parts.push_back({QStringLiteral("xl/sharedStrings.xml"), sharedStrings});
    return parts;
}

bool writeXlsx(const QString &path, const QByteArray &sheetRows, const QByteArray &sharedStrings = {},
               const QByteArray &workbookPr = {}, const QByteArray &sheetHead = {}, const QByteArray &sheetTail = {})
{
    return writeZip(path, xlsxParts(sheetRows, sharedStrings, workbookPr, sheetHead, sheetTail));
}

const char kOdsHead[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:dc="http://purl.org/dc/elements/1.1/" office:version="1.3"><office:body><office:spreadsheet>)";
const char kOdsTail[] = "</office:spreadsheet></office:body></office:document-content>";

Parts odsParts(const QByteArray &tables, const QByteArray &manifestExtra = {})
{
    const QByteArray manifest = R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.3">
<manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>
<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml">)"
                                + manifestExtra + "</manifest:file-entry></manifest:manifest>";
    return {{QStringLiteral("mimetype"), "application/vnd.oasis.opendocument.spreadsheet"},
            {QStringLiteral("META-INF/manifest.xml"), manifest},
            {QStringLiteral("content.xml"), kOdsHead + tables + kOdsTail}};
}

bool writeOds(const QString &path, const QByteArray &tables, const QByteArray &manifestExtra = {})
{
    return writeZip(path, odsParts(tables, manifestExtra));
}

QByteArray odsRow(const QByteArray &label, const QByteArray &cells)
{
    return "<table:table-row><table:table-cell office:value-type=\"string\"><text:p>" + label
           + "</text:p></table:table-cell>" + cells + "</table:table-row>";
}

// AddressSanitizer keeps freed memory in quarantine (256 MB by default) and
// shadows what it hands out: resident memory grows by that much and some
// more on top of what the import holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 kSanitizerSlack = qint64(384) << 20;
#else
constexpr qint64 kSanitizerSlack = 0;
#endif

// Peak resident memory of this process so far, in bytes.
qint64 peakMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}

QByteArray shortDate(int y, int m, int d)
{
    return QLocale::system().toString(QDate(y, m, d), QLocale::ShortFormat).toUtf8();
}
QByteArray shortTime(int h, int m)
{
    return QLocale::system().toString(QTime(h, m), QLocale::ShortFormat).toUtf8();
}

} // namespace

// The Python-written workbooks: a missing Python module skips the test on a
// developer's machine and fails it under CI=true.
#define REQUIRE_PYTHON()                                                                           \
    do {                                                                                           \
        if (!m_pythonMissing.isEmpty()) {                                                          \
            if (!testing::serversRequired() && m_pythonMissing.contains(u"ModuleNotFoundError"))   \
                QSKIP(qPrintable(m_pythonMissing));                                                \
            QFAIL(qPrintable(m_pythonMissing));                                                    \
        }                                                                                          \
    } while (false)

// Runs a Python script with the file as its argument.
bool TestSpreadsheet::python(const char *script, const QString &file, QString *why)
{
    QProcess p;
    p.start(QString::fromLatin1(kPython), {QStringLiteral("-c"), QString::fromUtf8(script), file});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *why = QString::fromUtf8(p.readAllStandardError()).trimmed();
        if (why->isEmpty())
            *why = p.errorString();
        return false;
    }
    return true;
}

// The sheet imported into a fresh table (cached per file and sheet).
const ListTable *TestSpreadsheet::imported(const QString &file, const QString &sheet)
{
    const QString key = file + u'|' + sheet;
    if (m_imported.count(key))
        return m_imported[key];
    QString error;
    const auto book = Workbook::open(path(file), &error);
    if (!book) {
        qWarning("%s", qPrintable(error));
        return nullptr;
    }
    auto *table = new ListTable(this);
    SheetChoices choices;
    choices.sheet = sheet.isEmpty() ? 0 : book->sheetIndex(sheet);
    const SheetImportResult r = importSpreadsheet(*book, choices, *table, UnstorableFields{});
    if (!r.ok) {
        qWarning("%s", qPrintable(r.error));
        return nullptr;
    }
    m_imported[key] = table;
    return table;
}

void TestSpreadsheet::initTestCase()
{
    QVERIFY(m_dir.isValid());
    SystemCharset::overrideForTesting("UTF-8");
    QString why;
    if (!python(kOpenpyxlScript, path(QStringLiteral("values.xlsx")), &why)
        || !python(kXlwtScript, path(QStringLiteral("values.xls")), &why)
        || !python(kEncryptedScript, path(QStringLiteral("encrypted.xlsx")), &why))
        m_pythonMissing = QStringLiteral("a test workbook could not be written with Python: ") + why;

    // Structures openpyxl does not write: shared strings with rich text
    // and phonetic runs, cached formula results of every type, cells
    // without references, built-in and custom date formats, merged
    // ranges over rows missing from the file.
    const QByteArray shared = R"(<?xml version="1.0" encoding="UTF-8"?>
<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" count="4" uniqueCount="4">
<si><t>plain</t></si>
<si><r><rPr><b/></rPr><t>bold </t></r><r><t xml:space="preserve">and  plain</t></r><rPh sb="0" eb="1"><t>PHONETIC</t></rPh></si>
<si><t>0042</t></si>
<si><t>merged</t></si>
</sst>)";
    const QByteArray rows = R"(
<row r="1"><c r="A1" t="inlineStr"><is><t>shared</t></is></c><c r="B1" t="s"><v>0</v></c></row>
<row r="2"><c r="A2" t="inlineStr"><is><t>rich text</t></is></c><c r="B2" t="s"><v>1</v></c></row>
<row r="3"><c r="A3" t="inlineStr"><is><t>shared leading zeros</t></is></c><c r="B3" t="s"><v>2</v></c></row>
<row r="4"><c r="A4" t="inlineStr"><is><t>inline rich text</t></is></c><c r="B4" t="inlineStr"><is><r><t>in</t></r><r><t>line</t></r></is></c></row>
<row r="5"><c r="A5" t="inlineStr"><is><t>cached number</t></is></c><c r="B5"><f>SUM(1,2)</f><v>3.0</v></c></row>
<row r="6"><c r="A6" t="inlineStr"><is><t>cached text</t></is></c><c r="B6" t="str"><f>"a"&amp;"b"</f><v>ab</v></c></row>
<row r="7"><c r="A7" t="inlineStr"><is><t>cached error</t></is></c><c r="B7" t="e"><f>1/0</f><v>#DIV/0!</v></c></row>
<row r="8"><c r="A8" t="inlineStr"><is><t>cached boolean</t></is></c><c r="B8" t="b"><f>1=2</f><v>0</v></c></row>
<row r="9"><c t="inlineStr"><is><t>no references</t></is></c><c><v>1</v></c><c t="inlineStr"><is><t>b</t></is></c></row>
<row r="10"><c r="A10" t="inlineStr"><is><t>built-in date</t></is></c><c r="B10" s="1"><v>45356</v></c></row>
<row r="11"><c r="A11" t="inlineStr"><is><t>custom date</t></is></c><c r="B11" s="2"><v>45356</v></c></row>
<row r="12"><c r="A12" t="inlineStr"><is><t>merged over missing rows</t></is></c><c r="B12" t="s"><v>3</v></c></row>
<row r="15"><c r="A15" t="inlineStr"><is><t>below the merge</t></is></c></row>
<row r="16"><c r="A16" t="inlineStr"><is><t>words like a merge</t></is></c><c r="B16" t="inlineStr"><is><t>mergeCell ref="B1:C1"</t></is></c></row>)";
    QVERIFY(writeXlsx(path(QStringLiteral("structures.xlsx")), rows, shared, {}, {},
                      R"(<mergeCells count="1"><mergeCell ref="B12:B14"/></mergeCells>)"));
    QVERIFY(writeXlsx(path(QStringLiteral("date1904.xlsx")),
                      R"(<row r="1"><c r="A1" t="inlineStr"><is><t>1904 date</t></is></c><c r="B1" s="1"><v>0</v></c></row>)",
                      {}, R"(<workbookPr date1904="1"/>)"));

    const QByteArray ods
        = R"(<table:table table:name="Values &amp; more">)"
          + odsRow("float", R"(<table:table-cell office:value-type="float" office:value="42"><text:p>42.00</text:p></table:table-cell>)")
          + odsRow("decimal", R"(<table:table-cell office:value-type="float" office:value="1.50"><text:p>1.5</text:p></table:table-cell>)")
          + odsRow("leading zeros", R"(<table:table-cell office:value-type="string"><text:p>007</text:p></table:table-cell>)")
          + odsRow("unicode", R"(<table:table-cell office:value-type="string"><text:p>Zoë Ωμέγα 東京</text:p></table:table-cell>)")
          + odsRow("date", R"(<table:table-cell office:value-type="date" office:date-value="2024-03-05"><text:p>05.03.24</text:p></table:table-cell>)")
          + odsRow("date and time", R"(<table:table-cell office:value-type="date" office:date-value="2024-03-05T13:30:00"><text:p>x</text:p></table:table-cell>)")
          + odsRow("time", R"(<table:table-cell office:value-type="time" office:time-value="PT13H30M00S"><text:p>13:30</text:p></table:table-cell>)")
          + odsRow("percent", R"(<table:table-cell office:value-type="percentage" office:value="0.125"><text:p>12.50%</text:p></table:table-cell>)")
          + odsRow("currency", R"(<table:table-cell office:value-type="currency" office:currency="EUR" office:value="9.9"><text:p>9,90 €</text:p></table:table-cell>)")
          + odsRow("boolean", R"(<table:table-cell office:value-type="boolean" office:boolean-value="true"><text:p>TRUE</text:p></table:table-cell>)")
          + odsRow("formula", R"(<table:table-cell table:formula="of:=[.B1]*2" office:value-type="float" office:value="84"><text:p>84</text:p></table:table-cell>)")
          + odsRow("rich text", R"(<table:table-cell office:value-type="string"><text:p>a<text:span>b</text:span><text:s text:c="2"/>c</text:p><office:annotation><dc:creator>x</dc:creator><text:p>comment</text:p></office:annotation></table:table-cell>)")
          + odsRow("repeated columns", R"(<table:table-cell office:value-type="string" table:number-columns-repeated="3"><text:p>r</text:p></table:table-cell><table:table-cell table:number-columns-repeated="1000"/>)")
          + R"(<table:table-row table:number-rows-repeated="3"><table:table-cell table:number-columns-repeated="1024"/></table:table-row>)"
          + R"(<table:table-row table:number-rows-repeated="2"><table:table-cell office:value-type="string"><text:p>twice</text:p></table:table-cell><table:table-cell office:value-type="float" office:value="2"/></table:table-row>)"
          + odsRow("merged", R"(<table:table-cell office:value-type="string" table:number-columns-spanned="2" table:number-rows-spanned="2"><text:p>top-left</text:p></table:table-cell><table:covered-table-cell/><table:table-cell office:value-type="string"><text:p>tail</text:p></table:table-cell>)")
          + odsRow("merged below", R"(<table:covered-table-cell table:number-columns-repeated="2"/>)")
          + R"(<table:table-row table:number-rows-repeated="1048000"><table:table-cell table:number-columns-repeated="1024"/></table:table-row>)"
          + "</table:table>"
          + R"(<table:table table:name="Second">)" + odsRow("other", {}) + "</table:table>";
    QVERIFY(writeOds(path(QStringLiteral("values.ods")), ods));
}

void TestSpreadsheet::cleanupTestCase()
{
    for (auto &[key, table] : m_imported)
        delete table;
}

void TestSpreadsheet::values_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<QByteArrayList>("cells");
    const QString xlsx = QStringLiteral("values.xlsx");
    auto row = [](const QString &file, const char *label, QByteArrayList cells) {
        QTest::addRow("%s: %s", qPrintable(file), label) << file << QByteArray(label) << cells;
    };
    for (const QString &file : {xlsx, QStringLiteral("values.xls"), QStringLiteral("values.ods")}) {
        const bool xls = file.endsWith(u".xls");
        const bool ods = file.endsWith(u".ods");
        if (!ods) {
            row(file, "integer", {"42"});
            row(file, "integral float", {"42"});
        } else {
            row(file, "float", {"42"});
        }
        row(file, "decimal", {"1.5"});
        row(file, "leading zeros", {"007"});
        row(file, "unicode", {"Zoë Ωμέγα 東京"});
        row(file, "date", {shortDate(2024, 3, 5)});
        row(file, "date and time", {shortDate(2024, 3, 5) + ' ' + shortTime(13, 30)});
        if (!xls) {
            row(file, "time", {shortTime(13, 30)});
            row(file, "boolean", {"TRUE"});
            row(file, "percent", {"12.5%"});
            row(file, "merged", {"top-left", "top-left", "tail"});
            row(file, "merged below", {"top-left", "top-left"});
        } else {
            row(file, "after empty rows", {"x"});
        }
    }
    row(xlsx, "rounding noise", {"0.3"});
    row(xlsx, "negative", {"-3.25"});
    row(xlsx, "phone number", {"4915112345678"});
    row(xlsx, "large", {"1.5e+20"});
    row(xlsx, "custom date format", {shortDate(2023, 12, 31)});
    row(xlsx, "formula without a cached result", {});
    row(xlsx, "after empty rows", {"x"});
    row(xlsx, "wide", {"1", "", "", "", "", "", "7"});
    const QString s = QStringLiteral("structures.xlsx");
    row(s, "shared", {"plain"});
    row(s, "rich text", {"bold and  plain"});
    row(s, "shared leading zeros", {"0042"});
    row(s, "inline rich text", {"inline"});
    row(s, "cached number", {"3"});
    row(s, "cached text", {"ab"});
    row(s, "cached error", {"#DIV/0!"});
    row(s, "cached boolean", {"FALSE"});
    row(s, "no references", {"1", "b"});
    row(s, "built-in date", {shortDate(2024, 3, 5)});
    row(s, "custom date", {shortDate(2024, 3, 5)});
    row(s, "merged over missing rows", {"merged"});
    row(s, "below the merge", {});
    row(s, "words like a merge", {"mergeCell ref=\"B1:C1\""});
    row(QStringLiteral("date1904.xlsx"), "1904 date", {shortDate(1904, 1, 1)});
    const QString o = QStringLiteral("values.ods");
    row(o, "currency", {"9.9"});
    row(o, "formula", {"84"});
    row(o, "rich text", {"ab  c"});
    row(o, "repeated columns", {"r", "r", "r"});
    row(o, "twice", {"2"});
}

void TestSpreadsheet::values()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, label);
    QFETCH(QByteArrayList, cells);
    if (!file.startsWith(u"structures") && !file.startsWith(u"date1904") && !file.endsWith(u".ods"))
        REQUIRE_PYTHON();
    const ListTable *table = imported(file);
    QVERIFY(table);
    const auto got = labelled(*table, label);
    QVERIFY2(got, label.constData());
    QCOMPARE(*got, cells);
}

// Rows the sheets hold in order: empty rows left out, repeated rows
// repeated, rows a merged range covers made even when missing.
void TestSpreadsheet::rowsInOrder()
{
    const ListTable *ods = imported(QStringLiteral("values.ods"));
    QVERIFY(ods);
    QCOMPARE(ods->rowCount(), 17);
    QCOMPARE(ods->cellBytes(13, 0), "twice");
    QCOMPARE(ods->cellBytes(14, 0), "twice");
    const ListTable *structures = imported(QStringLiteral("structures.xlsx"));
    QVERIFY(structures);
    QCOMPARE(structures->rowCount(), 16);
    QCOMPARE(rowOf(*structures, 12), (QByteArrayList{"", "merged"}));
    QCOMPARE(rowOf(*structures, 13), (QByteArrayList{"", "merged"}));
    QCOMPARE(structures->cellBytes(14, 0), "below the merge");
}

void TestSpreadsheet::sheetsTitlesAndRanges_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<bool>("titles");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QList<QByteArrayList>>("rows");
    QTest::addColumn<QStringList>("titleRow");
    const QString xlsx = QStringLiteral("values.xlsx");
    QTest::newRow("titles row left out") << xlsx << "Recipients" << true << QString()
                                         << QList<QByteArrayList>{{"Ann", "ann@example.test", "01234"},
                                                                  {"Bob", "bob@example.test", "09876"},
                                                                  {"Cid", "cid@example.test", "11111"}}
                                         << QStringList{"Name", "E-mail", "Zip"};
    QTest::newRow("without titles the first row is a record")
        << xlsx << "recipients" << false << QStringLiteral("A1:A2")
        << QList<QByteArrayList>{{"Name"}, {"Ann"}} << QStringList{};
    QTest::newRow("range with titles: its first row") << xlsx << "Recipients" << true << QStringLiteral("B2:C")
                                                      << QList<QByteArrayList>{{"bob@example.test", "09876"},
                                                                               {"cid@example.test", "11111"}}
                                                      << QStringList{"ann@example.test", "01234"};
    QTest::newRow("whole rows") << xlsx << "Recipients" << false << QStringLiteral("3:3")
                                << QList<QByteArrayList>{{"Bob", "bob@example.test", "09876"}} << QStringList{};
    QTest::newRow("a range cuts a merged range") << xlsx << "Values" << false << QStringLiteral("C20:D21")
                                                 << QList<QByteArrayList>{{"top-left", "tail"}, {"top-left"}}
                                                 << QStringList{};
    QTest::newRow("ods sheet by name") << QStringLiteral("values.ods") << "Second" << false << QString()
                                       << QList<QByteArrayList>{{"other"}} << QStringList{};
    QTest::newRow("xls sheet by name") << QStringLiteral("values.xls") << "Second" << false << QString()
                                       << QList<QByteArrayList>{{"other"}} << QStringList{};
}

void TestSpreadsheet::sheetsTitlesAndRanges()
{
    QFETCH(QString, file);
    QFETCH(QString, sheet);
    QFETCH(bool, titles);
    QFETCH(QString, range);
    QFETCH(QList<QByteArrayList>, rows);
    QFETCH(QStringList, titleRow);
    if (!file.endsWith(u".ods"))
        REQUIRE_PYTHON();
    QString error;
    const auto book = Workbook::open(path(file), &error);
    QVERIFY2(book, qPrintable(error));
    SheetChoices choices;
    choices.sheet = book->sheetIndex(sheet);
    QVERIFY(choices.sheet >= 0);
    choices.titles = titles;
    const auto parsed = parseCellRange(range);
    QVERIFY(parsed);
    choices.range = *parsed;

    ListTable table;
    const SheetImportResult r = importSpreadsheet(*book, choices, table, UnstorableFields{});
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.titles, titleRow);
    QCOMPARE(r.records, qint64(rows.size()));
    for (int i = 0; i < rows.size(); ++i)
        QCOMPARE(rowOf(table, i), rows[i]);

    // The list file gets the same lines as the table would save.
    const QString out = path(QStringLiteral("out.txt"));
    const SheetImportResult f = importSpreadsheetToFile(*book, choices, out, UnstorableFields{});
    QVERIFY2(f.ok, qPrintable(f.error));
    QCOMPARE(f.records, r.records);
    QCOMPARE(f.columns, r.columns);
    QFile written(out);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), table.toBytes(u';'));
}

void TestSpreadsheet::sheetNames()
{
    REQUIRE_PYTHON();
    for (const QString &file : {QStringLiteral("values.xlsx"), QStringLiteral("values.xls")}) {
        const auto book = Workbook::open(path(file), nullptr);
        QVERIFY(book);
        QCOMPARE(book->sheetNames().value(0), QStringLiteral("Values"));
        QVERIFY(book->sheetNames().contains(QStringLiteral("Second"))
                || book->sheetNames().contains(QStringLiteral("Recipients")));
    }
    const auto ods = Workbook::open(path(QStringLiteral("values.ods")), nullptr);
    QVERIFY(ods);
    QCOMPARE(ods->format(), SpreadsheetFormat::Ods);
    QCOMPARE(ods->sheetNames(), (QStringList{"Values & more", "Second"}));
    const auto preview = ods->preview(0, {}, 2);
    QCOMPARE(preview.size(), size_t(2));
    QCOMPARE(preview[1], (QStringList{"decimal", "1.5"}));
}

// Cells with the list delimiter or a line break: the import is refused
// with their count and first row, the table as it was; with a
// replacement they are imported with it.
void TestSpreadsheet::unstorableCells()
{
    REQUIRE_PYTHON();
    const auto book = Workbook::open(path(QStringLiteral("values.xlsx")), nullptr);
    QVERIFY(book);
    SheetChoices choices;
    choices.sheet = book->sheetIndex(QStringLiteral("Unstorable"));
    ListTable table;
    table.setRowCount(1);
    table.setColumnCount(1);
    table.setCell(0, 0, QStringLiteral("kept"));
    UnstorableFields rule;
    SheetImportResult r = importSpreadsheet(*book, choices, table, rule);
    QVERIFY(!r.ok);
    QCOMPARE(r.unstorableRows, qint64(3));
    QCOMPARE(r.firstUnstorableLine, qint64(2));
    QVERIFY2(r.error.contains(u"the first in row 2"), qPrintable(r.error));
    QCOMPARE(table.rowCount(), 1);
    QCOMPARE(rowOf(table, 0), (QByteArrayList{"kept"}));
    const QString out = path(QStringLiteral("refused.txt"));
    QVERIFY(!importSpreadsheetToFile(*book, choices, out, rule).ok);
    QVERIFY(!QFile::exists(out));

    rule.replacement = ',';
    r = importSpreadsheet(*book, choices, table, rule);
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.unstorableRows, qint64(3));
    QCOMPARE(r.firstRow, 1);
    QCOMPARE(rowOf(table, 2), (QByteArrayList{"Smith, John", "x"}));
    QCOMPARE(rowOf(table, 3), (QByteArrayList{"two lines", "y"}));
    const SheetImportResult f = importSpreadsheetToFile(*book, choices, out, rule);
    QVERIFY2(f.ok, qPrintable(f.error));
    QFile written(out);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("fine;cells\r\nSmith, John;x\r\ntwo lines;y\r\nDoe, Jane;z\r\n"));
}

void TestSpreadsheet::stopLeavesTableAsItWas()
{
    QByteArray rows;
    for (int r = 1; r <= 20000; ++r)
        rows += "<row r=\"" + QByteArray::number(r) + "\"><c r=\"A" + QByteArray::number(r) + "\"><v>" + QByteArray::number(r)
                + "</v></c></row>";
    const QString p = path(QStringLiteral("stop.xlsx"));
    QVERIFY(writeXlsx(p, rows));
    QString error;
    const auto book = Workbook::open(p, &error);
    QVERIFY2(book, qPrintable(error));
    ListTable table;
    table.setCell(0, 0, QStringLiteral("kept"));
    int calls = 0;
    const ImportProgress stopSecond = [&calls](qint64, qint64) { return ++calls < 2; };
    const SheetImportResult r = importSpreadsheet(*book, {}, table, UnstorableFields{}, stopSecond);
    QVERIFY(r.stopped);
    QVERIFY(!r.ok);
    QCOMPARE(table.rowCount(), 1);
    QCOMPARE(table.cellBytes(0, 0), "kept");
    calls = 0;
    const QString out = path(QStringLiteral("stopped.txt"));
    QVERIFY(importSpreadsheetToFile(*book, {}, out, UnstorableFields{}, stopSecond).stopped);
    QVERIFY(!QFile::exists(out));
}

void TestSpreadsheet::cellRanges_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("firstRow");
    QTest::addColumn<int>("firstColumn");
    QTest::addColumn<int>("lastRow");
    QTest::addColumn<int>("lastColumn");
    QTest::newRow("empty: the whole sheet") << "" << true << 0 << 0 << -1 << -1;
    QTest::newRow("corners") << "b2:AA10" << true << 1 << 1 << 9 << 26;
    QTest::newRow("corners swapped") << "C9 : A2" << true << 1 << 0 << 8 << 2;
    QTest::newRow("to the end") << "B3:" << true << 2 << 1 << -1 << -1;
    QTest::newRow("whole columns") << "A:C" << true << 0 << 0 << -1 << 2;
    QTest::newRow("whole rows") << "2:50" << true << 1 << 0 << 49 << -1;
    QTest::newRow("one cell") << "$B$3" << true << 2 << 1 << 2 << 1;
    QTest::newRow("last column XFD") << "XFD1:XFD1" << true << 0 << 16383 << 0 << 16383;
    QTest::newRow("beyond the last column") << "XFE1" << false << 0 << 0 << 0 << 0;
    QTest::newRow("beyond the last row") << "A1048577" << false << 0 << 0 << 0 << 0;
    QTest::newRow("row zero") << "A0" << false << 0 << 0 << 0 << 0;
    QTest::newRow("cell to a whole column") << "B2:C" << true << 1 << 1 << -1 << 2;
    QTest::newRow("column to a cell") << "A:C5" << false << 0 << 0 << 0 << 0;
    QTest::newRow("cell to a row") << "A1:5" << false << 0 << 0 << 0 << 0;
    QTest::newRow("words") << "names" << false << 0 << 0 << 0 << 0;
}

void TestSpreadsheet::cellRanges()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const auto range = parseCellRange(text);
    QCOMPARE(range.has_value(), valid);
    if (!valid)
        return;
    QFETCH(int, firstRow);
    QFETCH(int, firstColumn);
    QFETCH(int, lastRow);
    QFETCH(int, lastColumn);
    QCOMPARE(range->firstRow, firstRow);
    QCOMPARE(range->firstColumn, firstColumn);
    QCOMPARE(range->lastRow, lastRow);
    QCOMPARE(range->lastColumn, lastColumn);
    QCOMPARE(parseCellRange(range->toString()), range);
}

// Files that must be refused with a reason, the list untouched, in
// bounded memory.
void TestSpreadsheet::hostile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("reason");
    QTest::newRow("text named .xlsx") << "text.xlsx" << "not a workbook";
    QTest::newRow("ZIP without a workbook") << "other.xlsx" << "no workbook part";
    QTest::newRow("OpenDocument text") << "letter.ods" << "not a spreadsheet";
    QTest::newRow("cut-off archive") << "cut.xlsx" << "not a workbook";
    QTest::newRow("password-protected xlsx") << "encrypted.xlsx" << "password";
    QTest::newRow("password-protected ods") << "encrypted.ods" << "password";
    QTest::newRow("external entity") << "xxe.xlsx" << "document type";
    QTest::newRow("entity expansion in shared strings") << "laughs.xlsx" << "document type";
    QTest::newRow("sheet XML not well-formed") << "broken.xlsx" << "not well-formed";
    QTest::newRow("ZIP bomb of many cells") << "bomb.xlsx" << "ZIP bomb";
    QTest::newRow("ZIP bomb of one text") << "bombtext.xlsx" << "one XML item";
    QTest::newRow("ZIP bomb in an ods") << "bomb.ods" << "ZIP bomb";
    QTest::newRow("row beyond the last") << "tall.xlsx" << "beyond row 1048576";
    QTest::newRow("cell beyond the last column") << "wide.xlsx" << "cannot have";
    QTest::newRow("more columns than a list takes") << "widelist.xlsx" << "at most 1000";
}

void TestSpreadsheet::hostile()
{
    QFETCH(QString, file);
    QFETCH(QString, reason);
    const QString p = path(file);
    if (file == u"encrypted.xlsx")
        REQUIRE_PYTHON();
    if (file == u"text.xlsx") {
        QFile f(p);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("Name;E-mail\nAnn;ann@example.test\n");
    } else if (file == u"other.xlsx") {
        QVERIFY(writeZip(p, {{QStringLiteral("readme.txt"), "hello"}}));
    } else if (file == u"letter.ods") {
        QVERIFY(writeZip(p, {{QStringLiteral("mimetype"), "application/vnd.oasis.opendocument.text"},
                             {QStringLiteral("content.xml"), "<x/>"}}));
    } else if (file == u"cut.xlsx") {
        QVERIFY(writeXlsx(p, R"(<row r="1"><c r="A1"><v>1</v></c></row>)"));
        QFile f(p);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.resize(f.size() / 2));
    } else if (file == u"encrypted.ods") {
        QVERIFY(writeOds(p, "<table:table table:name=\"S\"/>",
                         R"(<manifest:encryption-data manifest:checksum-type="SHA1/1K" manifest:checksum="x"><manifest:algorithm manifest:algorithm-name="Blowfish CFB" manifest:initialisation-vector="x"/></manifest:encryption-data>)"));
    } else if (file == u"xxe.xlsx") {
        QVERIFY(writeXlsx(p, R"(<row r="1"><c r="A1" t="inlineStr"><is><t>&xxe;</t></is></c></row>)", {}, {},
                          R"(<?xml version="1.0"?><!DOCTYPE worksheet [<!ENTITY xxe SYSTEM "file:///etc/passwd">]>
<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)"));
    } else if (file == u"laughs.xlsx") {
        QByteArray entities = "<!ENTITY l0 \"lol\">";
        for (int i = 1; i < 10; ++i)
            entities += QStringLiteral("<!ENTITY l%1 \"&l%2;&l%2;&l%2;&l%2;&l%2;&l%2;&l%2;&l%2;&l%2;&l%2;\">")
                            .arg(i)
                            .arg(i - 1)
                            .toUtf8();
        QVERIFY(writeXlsx(p, R"(<row r="1"><c r="A1" t="s"><v>0</v></c></row>)",
                          "<?xml version=\"1.0\"?><!DOCTYPE sst [" + entities
                              + "]><sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><si><t>&l9;</t></si></sst>"));
    } else if (file == u"broken.xlsx") {
        QVERIFY(writeXlsx(p, R"(<row r="1"><c r="A1"><v>1</v></row>)"));
    } else if (file.startsWith(u"bomb")) {
        // About 1 GB of XML from about 1 MB of archive.
        const bool ods = file.endsWith(u".ods");
        const QByteArray unit = file == u"bombtext.xlsx" ? QByteArray(4096, 'a') : QByteArray("<c/><c/><c/><c/>").repeated(256);
        const QByteArray head = ods ? QByteArray(kOdsHead) + "<table:table table:name=\"S\"><table:table-row>"
                                    : QByteArray(R"(<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData><row r="1">)")
                                          + (file == u"bombtext.xlsx" ? "<c t=\"inlineStr\"><is><t>" : "");
        const QString part = ods ? QStringLiteral("content.xml") : QStringLiteral("xl/worksheets/sheet1.xml");
        // One text of 32 MB stays below the ratio a ZIP bomb is known by;
        // the cells make 1 GB.
        const int units = file == u"bombtext.xlsx" ? 8192 : (1 << 20) / 4;
        QVERIFY(writeZip(p, ods ? odsParts({}) : xlsxParts({}), part, [&](const PartWriter &out) {
            out(head);
            for (int i = 0; i < units; ++i)
                out(unit);
        }));
        QVERIFY(QFileInfo(p).size() < (4 << 20));
    } else if (file == u"tall.xlsx") {
        QVERIFY(writeXlsx(p, R"(<row r="1"><c r="A1"><v>1</v></c></row><row r="1048577"><c><v>2</v></c></row>)"));
    } else if (file == u"wide.xlsx") {
        QVERIFY(writeXlsx(p, R"(<row r="1"><c r="XFE1"><v>1</v></c></row>)"));
    } else if (file == u"widelist.xlsx") {
        QVERIFY(writeXlsx(p, R"(<row r="1"><c r="A1"><v>1</v></c><c r="ALN1"><v>2</v></c></row>)"));
    }

    ListTable table;
    table.setCell(0, 0, QStringLiteral("kept"));
    const qint64 before = peakMemory();
    QString error;
    SheetImportResult r;
    const auto book = Workbook::open(p, &error);
    if (book) {
        r = importSpreadsheet(*book, {}, table, UnstorableFields{});
        error = r.error;
        QVERIFY(!r.ok);
        const SheetImportResult f = importSpreadsheetToFile(*book, {}, path(QStringLiteral("hostile.txt")),
                                                            UnstorableFields{});
        QVERIFY(!f.ok);
        QVERIFY(!QFile::exists(path(QStringLiteral("hostile.txt"))));
    }
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(table.rowCount(), 1);
    QCOMPARE(table.columnCount(), 1);
    QCOMPARE(table.cellBytes(0, 0), "kept");
    const qint64 grown = peakMemory() - before;
    QVERIFY2(grown < (qint64(128) << 20) + kSanitizerSlack, qPrintable(QStringLiteral("peak memory grew by %1 MB").arg(grown >> 20)));
}

// Overlapping merged ranges over the whole height, which no spreadsheet
// program writes: the import ends soon, fills what its budget allows and
// says so.
void TestSpreadsheet::overlappingMerges()
{
    QByteArray merges = "<mergeCells>";
    for (int i = 0; i < 100000; ++i)
        merges += "<mergeCell ref=\"A1:B1048576\"/>";
    merges += "</mergeCells>";
    const QString p = path(QStringLiteral("merges.xlsx"));
    QVERIFY(writeXlsx(p, R"(<row r="1"><c r="A1" t="inlineStr"><is><t>x</t></is></c></row>)", {}, {}, {}, merges));
    QString error;
    const auto book = Workbook::open(p, &error);
    QVERIFY2(book, qPrintable(error));
    QElapsedTimer clock;
    clock.start();
    const SheetImportResult r = importSpreadsheetToFile(*book, {}, path(QStringLiteral("merges.txt")), UnstorableFields{});
    QVERIFY2(r.ok, qPrintable(r.error));
    QVERIFY2(clock.elapsed() < 60000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(r.records > 0 && r.records < kMaxSheetRows);
    QVERIFY2(r.notes.join(u' ').contains(u"overlapping merged ranges"), qPrintable(r.notes.join(u' ')));
}

// A sheet of 1,048,576 rows, the most a sheet has: every row imported
// into a list file, memory bounded.
void TestSpreadsheet::fullHeightSheet()
{
    const QString p = path(QStringLiteral("tall-full.xlsx"));
    QVERIFY(writeZip(p, xlsxParts({}), QStringLiteral("xl/worksheets/sheet1.xml"), [](const PartWriter &f) {
        f("<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>");
        QByteArray chunk;
        for (int r = 1; r <= kMaxSheetRows; ++r) {
            chunk += "<row r=\"" + QByteArray::number(r) + "\"><c r=\"A" + QByteArray::number(r) + "\"><v>"
                     + QByteArray::number(r) + "</v></c></row>";
            if (chunk.size() > (1 << 20) || r == kMaxSheetRows) {
                f(chunk);
                chunk.clear();
            }
        }
        f("</sheetData></worksheet>");
    }));
    QString error;
    const auto book = Workbook::open(p, &error);
    QVERIFY2(book, qPrintable(error));
    const qint64 before = peakMemory();
    const QString out = path(QStringLiteral("tall.txt"));
    const SheetImportResult r = importSpreadsheetToFile(*book, {}, out, UnstorableFields{});
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.records, qint64(kMaxSheetRows));
    QFile written(out);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.seek(written.size() - 9));
    QCOMPARE(written.readAll(), QByteArray("1048576\r\n"));
    const qint64 grown = peakMemory() - before;
    QVERIFY2(grown < (qint64(64) << 20) + kSanitizerSlack, qPrintable(QStringLiteral("peak memory grew by %1 MB").arg(grown >> 20)));
}

QTEST_GUILESS_MAIN(TestSpreadsheet)
