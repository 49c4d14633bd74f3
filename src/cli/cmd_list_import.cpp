// `list import SOURCE --format delimited|fixed|dbase|spreadsheet ... --output FILE | --project PROJECT.eml`
// and `list export LIST --xlsx FILE`: the import wizard's choices as options,
// and the list editor's spreadsheet export.
#include "cli.h"
#include "openproject.h"

#include "listtools/importsource.h"
#include "listtools/spreadsheet.h"
#include "project/listtable.h"
#include "sending/projectlock.h"
#include "sending/xlsxexport.h"
#include "settings/syscharset.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QTextStream>

namespace varnholt::cli {

namespace {

const char importUsage[] =
    "usage: list import SOURCE --format delimited|fixed|dbase [--delimiter C ...] [--consecutive] [--csv]\n"
    "       [--breaks N,N,...] [--origin windows|dos] [--start-row N] [--replace-delimiter C]\n"
    "   or: list import BOOK --format spreadsheet [--sheet NAME] [--titles] [--range A1:H100]\n"
    "       [--replace-delimiter C]\n"
    "       (--output FILE [--list-delimiter C] | --project PROJECT.eml [--force])";
const char exportUsage[] = "usage: list export LIST|PROJECT.eml --xlsx FILE [--delimiter C]";

// The bytes of one character in the system charset, when it is one byte.
std::optional<char> singleByte(QChar c)
{
    const QByteArray bytes = SystemCharset::fromUnicode(QStringView(&c, 1));
    if (bytes.size() != 1)
        return std::nullopt;
    return bytes[0];
}

// The wizard's delimiter boxes from every --delimiter (";" when none).
std::optional<DelimiterChoice> delimitersOf(const Invocation &inv, QString *error)
{
    DelimiterChoice choice;
    choice.semicolon = false;
    QStringList values = inv.options.values(QStringLiteral("--delimiter"));
    if (values.isEmpty())
        values.append(QStringLiteral(";"));
    for (const QString &value : values) {
        const auto c = parseDelimiter(value);
        const auto byte = c ? singleByte(*c) : std::nullopt;
        if (!byte || *byte == '\r' || *byte == '\n' || *byte == '"') {
            *error = QStringLiteral("a delimiter is one character (not a quote or a line end), Tab or Space: \"%1\"")
                         .arg(value);
            return std::nullopt;
        }
        switch (*byte) {
        case ';': choice.semicolon = true; break;
        case ',': choice.comma = true; break;
        case '\t': choice.tab = true; break;
        case ' ': choice.space = true; break;
        default:
            if (choice.other && choice.otherCharacter != QByteArray(1, *byte)) {
                *error = QStringLiteral("besides ; , Tab and Space only one other delimiter can be given");
                return std::nullopt;
            }
            choice.other = true;
            choice.otherCharacter = QByteArray(1, *byte);
        }
    }
    choice.consecutiveAsOne = inv.has(QStringLiteral("--consecutive"));
    choice.quoted = inv.has(QStringLiteral("--csv"));
    return choice;
}

// "--breaks 10,25": a column break after characters 10 and 25.
std::optional<QByteArray> breaksOf(const QString &text, qsizetype width, QString *error)
{
    QByteArray breaks(width, ' ');
    for (const QString &part : text.split(u',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int position = part.trimmed().toInt(&ok);
        if (!ok || position < 1) {
            *error = QStringLiteral("--breaks takes character positions from 1, separated by commas: \"%1\"").arg(text);
            return std::nullopt;
        }
        if (position <= width)
            breaks[position - 1] = '1';
    }
    return breaks;
}

void printNotes(const QStringList &notes)
{
    QTextStream err(stderr);
    for (const QString &note : notes)
        err << "varnholt-cli: note: " << note << '\n';
}

QString importedText(qint64 records, int columns, const QString &source, const QString &target)
{
    return QStringLiteral("Imported %1 records (%2 columns) from %3 into %4\n")
        .arg(records)
        .arg(columns)
        .arg(source, target);
}

} // namespace

int runListImport(const Invocation &inv)
{
    if (inv.words.size() != 3 || !inv.has(QStringLiteral("--format")))
        return fail(QString::fromLatin1(importUsage), ExitUsage);
    const bool toProject = inv.has(QStringLiteral("--project"));
    if (inv.has(QStringLiteral("--output")) == toProject)
        return fail(QStringLiteral("give either --output FILE or --project PROJECT.eml"), ExitUsage);
    const QString format = inv.option(QStringLiteral("--format"));
    if (format != u"delimited" && format != u"fixed" && format != u"dbase" && format != u"spreadsheet")
        return fail(QStringLiteral("--format is delimited, fixed, dbase or spreadsheet"), ExitUsage);
    const bool spreadsheet = format == u"spreadsheet";
    // The options of one kind of source only.
    for (const char *option : {"--delimiter", "--consecutive", "--csv", "--breaks", "--origin", "--start-row"}) {
        if (spreadsheet && inv.has(QString::fromLatin1(option)))
            return fail(QStringLiteral("%1 is not for --format spreadsheet (--range chooses the cells)")
                            .arg(QString::fromLatin1(option)),
                        ExitUsage);
    }
    for (const char *option : {"--sheet", "--titles", "--range"}) {
        if (!spreadsheet && inv.has(QString::fromLatin1(option)))
            return fail(QStringLiteral("%1 is for --format spreadsheet").arg(QString::fromLatin1(option)), ExitUsage);
    }
    std::optional<CellRange> range;
    if (spreadsheet) {
        range = parseCellRange(inv.option(QStringLiteral("--range")));
        if (!range)
            return fail(QStringLiteral("--range is a cell range such as A1:H100, B2: or A:C, not \"%1\"")
                            .arg(inv.option(QStringLiteral("--range"))),
                        ExitUsage);
    }
    const QString sourcePath = inv.words[2];
    if (!QFileInfo(sourcePath).isFile())
        return fail(QStringLiteral("no file \"%1\"").arg(sourcePath), ExitUsage);

    QString error;
    ImportChoices choices;
    choices.type = format == u"dbase"   ? ImportType::DBase
                   : format == u"fixed" ? ImportType::FixedWidth
                                        : ImportType::Delimited;
    const auto delimiters = delimitersOf(inv, &error);
    if (!delimiters)
        return fail(error, ExitUsage);
    choices.delimiters = *delimiters;
    if (choices.type == ImportType::FixedWidth && !inv.has(QStringLiteral("--breaks")))
        return fail(QStringLiteral("--format fixed needs --breaks N,N,... (the character positions a column ends "
                                   "after)"),
                    ExitUsage);
    bool ok = true;
    choices.startRow = inv.option(QStringLiteral("--start-row"), QStringLiteral("1")).toInt(&ok);
    if (!ok || choices.startRow < 1)
        return fail(QStringLiteral("--start-row is a line (or record) number from 1"), ExitUsage);
    const QString origin = inv.option(QStringLiteral("--origin"), QStringLiteral("windows")).toLower();
    if (origin != u"windows" && origin != u"dos")
        return fail(QStringLiteral("--origin is windows or dos"), ExitUsage);

    UnstorableFields unstorable;
    // The list's delimiter: the project's, or --list-delimiter for a file.
    QChar listDelimiter = u';';
    if (inv.has(QStringLiteral("--list-delimiter"))) {
        if (toProject)
            return fail(QStringLiteral("--list-delimiter is for --output; a project's list keeps its own"), ExitUsage);
        const auto d = parseDelimiter(inv.option(QStringLiteral("--list-delimiter")));
        if (!d)
            return fail(QStringLiteral("a delimiter is one character, Tab or Space"), ExitUsage);
        listDelimiter = *d;
    }
    if (inv.has(QStringLiteral("--replace-delimiter"))) {
        const auto r = parseDelimiter(inv.option(QStringLiteral("--replace-delimiter")));
        const auto byte = r ? singleByte(*r) : std::nullopt;
        if (!byte || *byte == '\r' || *byte == '\n')
            return fail(QStringLiteral("--replace-delimiter is one character, Tab or Space"), ExitUsage);
        unstorable.replacement = *byte;
    }

    // The project first, under its lock: nothing else may change its list
    // while this reads, imports and saves it.
    std::unique_ptr<ProjectLock> lock;
    std::unique_ptr<OpenedProject> opened;
    if (toProject) {
        const QString file = inv.option(QStringLiteral("--project"));
        const QFileInfo info(file);
        if (!info.isFile() || !file.endsWith(u".eml", Qt::CaseInsensitive))
            return fail(QStringLiteral("no project file \"%1\" (give the project's .eml file)").arg(file), ExitUsage);
        lock = ProjectLock::acquire(info.absolutePath(), info.fileName().chopped(4), &error);
        if (!lock)
            return fail(error, ExitUsage);
        opened = openProject(file, false, &error, ListFile::Optional);
        if (!opened)
            return fail(error, ExitUsage);
        Project &project = *opened->project;
        if (!project.listReadWhole()) {
            if (!inv.has(QStringLiteral("--force")))
                return fail(QStringLiteral("the list \"%1\" was not read whole (%2); saving it would keep only the "
                                           "records read and lose the rest: repair the file, or give --force to "
                                           "save anyway")
                                .arg(project.listFile(), project.listWarning()),
                            ExitUsage);
            project.setListOverwriteConfirmed(true);
        }
        listDelimiter = project.delimiter();
    }
    const auto listByte = singleByte(listDelimiter);
    if (!listByte)
        return fail(QStringLiteral("the list delimiter must be a one-byte character"), ExitUsage);
    unstorable.listDelimiter = *listByte;
    if (unstorable.replacement && *unstorable.replacement == unstorable.listDelimiter)
        return fail(QStringLiteral("--replace-delimiter must differ from the list delimiter"), ExitUsage);

    ImportResult result;
    QStringList titles;
    ListTable scratch;
    ListTable &table = toProject ? opened->project->table() : scratch;
    const QString target = toProject ? opened->project->listFile() : inv.option(QStringLiteral("--output"));
    if (spreadsheet) {
        const auto book = Workbook::open(sourcePath, &error);
        if (!book)
            return fail(error);
        SheetChoices sheet;
        sheet.titles = inv.has(QStringLiteral("--titles"));
        sheet.range = *range;
        if (inv.has(QStringLiteral("--sheet"))) {
            sheet.sheet = book->sheetIndex(inv.option(QStringLiteral("--sheet")));
            if (sheet.sheet < 0)
                return fail(QStringLiteral("the workbook has no sheet \"%1\"; its sheets: %2")
                                .arg(inv.option(QStringLiteral("--sheet")), book->sheetNames().join(QStringLiteral(", "))),
                            ExitUsage);
        }
        const SheetImportResult imported = toProject ? importSpreadsheet(*book, sheet, table, unstorable)
                                                     : importSpreadsheetToFile(*book, sheet, target, unstorable);
        result = imported;
        titles = imported.titles;
    } else if (choices.type == ImportType::DBase) {
        const auto dbf = DbfTable::open(sourcePath, &error);
        if (!dbf)
            return fail(error);
        result = importDbf(*dbf, choices.startRow, table, unstorable);
        if (result.ok && !toProject && !table.save(target, listDelimiter, &error))
            return fail(QStringLiteral("cannot write \"%1\": %2").arg(target, error));
    } else {
        auto source = TextSource::read(sourcePath, &error);
        if (!source)
            return fail(error);
        source->setOrigin(origin == u"dos" ? FileOrigin::Dos : FileOrigin::Windows);
        if (choices.type == ImportType::FixedWidth) {
            const auto breaks = breaksOf(inv.option(QStringLiteral("--breaks")), source->longestLineChars(), &error);
            if (!breaks)
                return fail(error, ExitUsage);
            choices.breaks = *breaks;
        } else if (!choices.delimiters.quoted && source->looksQuoted(choices.delimiters.delimiterBytes())) {
            printNotes({QStringLiteral("the first lines hold quoted fields; give --csv to read them as CSV")});
        }
        result = toProject ? importText(*source, choices, table, unstorable)
                           : importTextToFile(*source, choices, target, unstorable);
    }
    printNotes(result.notes);
    if (!result.ok) {
        if (result.unstorableRows > 0)
            return fail(result.error + QStringLiteral("; give --replace-delimiter C to put C in place of the "
                                                      "delimiter (line breaks become blanks)"));
        return fail(result.error);
    }
    if (toProject && !opened->project->saveList(&error))
        return fail(QStringLiteral("cannot save the list \"%1\": %2").arg(target, error));

    QJsonObject doc;
    doc.insert(QStringLiteral("source"), sourcePath);
    doc.insert(QStringLiteral("target"), target);
    doc.insert(QStringLiteral("records"), result.records);
    doc.insert(QStringLiteral("firstRecord"), result.firstRow + 1);
    doc.insert(QStringLiteral("columns"), result.columns);
    doc.insert(QStringLiteral("replacedRecords"), result.unstorableRows);
    doc.insert(QStringLiteral("notes"), QJsonArray::fromStringList(result.notes));
    if (spreadsheet)
        doc.insert(QStringLiteral("titles"), QJsonArray::fromStringList(titles));
    QString text = importedText(result.records, result.columns, sourcePath, target);
    if (result.unstorableRows > 0)
        text += QStringLiteral("%1 records had the list delimiter or a line break replaced in a field (the first at "
                               "%2 %3)\n")
                    .arg(result.unstorableRows)
                    .arg(spreadsheet ? QStringLiteral("row") : QStringLiteral("line"))
                    .arg(result.firstUnstorableLine);
    print(inv, doc, text);
    return ExitOk;
}

int runListExport(const Invocation &inv)
{
    if (inv.words.size() != 3 || !inv.has(QStringLiteral("--xlsx")) || inv.option(QStringLiteral("--xlsx")).isEmpty())
        return fail(QString::fromLatin1(exportUsage), ExitUsage);
    const QString file = inv.words[2];
    if (!QFileInfo(file).isFile())
        return fail(QStringLiteral("no list file \"%1\"").arg(file), ExitUsage);
    const QString output = inv.option(QStringLiteral("--xlsx"));

    QString error;
    ListTable loaded;
    std::unique_ptr<OpenedProject> opened;
    const ListTable *table = &loaded;
    if (file.endsWith(u".eml", Qt::CaseInsensitive)) {
        opened = openProject(file, false, &error);
        if (!opened)
            return fail(error, ExitUsage);
        table = &opened->project->table();
    } else {
        const auto delimiter = parseDelimiter(inv.option(QStringLiteral("--delimiter"), QStringLiteral(";")));
        if (!delimiter)
            return fail(QStringLiteral("a delimiter is one character, Tab or Space"), ExitUsage);
        const ListTable::LoadResult result = loaded.load(file, *delimiter);
        if (!result.fileRead)
            return fail(QStringLiteral("cannot read \"%1\"").arg(file), ExitUsage);
        if (!result.readWhole())
            warnListNotReadWhole(result.warning, file);
    }
    // A worksheet's limits: 1,048,576 rows (one is the title row) and
    // 16,384 columns.
    if (table->rowCount() > 1048575 || table->columnCount() > 16384)
        return fail(QStringLiteral("the list has %1 records and %2 columns; a worksheet holds at most 1048575 "
                                   "records and 16384 columns")
                        .arg(table->rowCount())
                        .arg(table->columnCount()));
    std::vector<QStringList> rows;
    rows.reserve(size_t(table->rowCount()));
    for (int r = 0; r < table->rowCount(); ++r) {
        QStringList row;
        row.reserve(table->columnCount());
        for (int c = 0; c < table->columnCount(); ++c)
            row.append(table->cell(r, c));
        rows.push_back(std::move(row));
    }
    if (!writeXlsxWorkbook(output, QStringLiteral("List"), table->titles(), rows, &error))
        return fail(QStringLiteral("cannot write \"%1\": %2").arg(output, error));
    QJsonObject doc;
    doc.insert(QStringLiteral("list"), file);
    doc.insert(QStringLiteral("xlsx"), output);
    doc.insert(QStringLiteral("records"), table->rowCount());
    doc.insert(QStringLiteral("columns"), table->columnCount());
    print(inv, doc,
          QStringLiteral("Exported %1 records (%2 columns) to %3\n")
              .arg(table->rowCount())
              .arg(table->columnCount())
              .arg(output));
    return ExitOk;
}

} // namespace varnholt::cli
