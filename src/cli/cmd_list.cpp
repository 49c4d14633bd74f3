// `list stats|dedupe|filter|replace ...`: the list tools for scripts, on a
// list file or on a project's list. `list import` and `list export` live in
// cmd_list_import.cpp.
#include "cli.h"
#include "openproject.h"

#include "listtools/listfilter.h"
#include "listtools/listreplace.h"
#include "listtools/removeduplicates.h"
#include "project/listtable.h"
#include "sending/projectlock.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QElapsedTimer>
#include <QFileInfo>

namespace varnholt::cli {

namespace {

const char dedupeUsage[] = "usage: list dedupe LIST|--project PROJECT.eml --column N [--column N ...] [--output FILE]";
const char filterUsage[] =
    "usage: list filter LIST|--project PROJECT.eml --column N --keywords FILE [--keywords-delimiter C] "
    "[--mode equal|contains] [--removed FILE.del] [--output FILE]";
const char replaceUsage[] = "usage: list replace LIST|--project PROJECT.eml --pairs FILE [--pairs-delimiter C] "
                            "[--case-sensitive] [--column N] [--output FILE]";

int runStats(const Invocation &inv)
{
    if (inv.words.size() != 3)
        return fail(QStringLiteral("usage: list stats FILE --delimiter C"), ExitUsage);
    const QString file = inv.words[2];
    const auto delimiter = parseDelimiter(inv.option(QStringLiteral("--delimiter"), QStringLiteral(";")));
    if (!delimiter)
        return fail(QStringLiteral("a delimiter is one character, Tab or Space"), ExitUsage);
    if (!QFileInfo(file).isFile())
        return fail(QStringLiteral("no list file \"%1\"").arg(file), ExitUsage);

    ListTable table;
    QElapsedTimer timer;
    timer.start();
    const ListTable::LoadResult result = table.load(file, *delimiter);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!result.fileRead)
        return fail(QStringLiteral("cannot read \"%1\"").arg(file), ExitUsage);
    if (!result.readWhole())
        warnListNotReadWhole(result.warning, file);

    QJsonObject doc;
    doc.insert(QStringLiteral("file"), file);
    doc.insert(QStringLiteral("records"), table.rowCount());
    doc.insert(QStringLiteral("columns"), table.columnCount());
    doc.insert(QStringLiteral("lines"), qint64(result.lines));
    doc.insert(QStringLiteral("readWhole"), result.readWhole());
    doc.insert(QStringLiteral("loadSeconds"), seconds);
    print(inv, doc,
          QStringLiteral("%1: %2 records, %3 columns, loaded in %4 s\n")
              .arg(file)
              .arg(table.rowCount())
              .arg(table.columnCount())
              .arg(seconds, 0, 'f', 3));
    return ExitOk;
}

// The list a tool works on: a list file, or a project's list under the
// project's lock (a list tool must never run while a send uses the
// project, nor while `results` deletes from its list).
class ListSource
{
public:
    // Nothing but an exit code in `code` when it cannot be opened.
    bool open(const Invocation &inv, const char *usage, int *code)
    {
        const bool project = inv.has(QStringLiteral("--project"));
        if (project == (inv.words.size() == 3) || inv.words.size() > 3) {
            *code = fail(QString::fromLatin1(usage), ExitUsage);
            return false;
        }
        m_force = inv.has(QStringLiteral("--force"));
        m_output = inv.option(QStringLiteral("--output"));
        if (inv.has(QStringLiteral("--output")) && m_output.isEmpty()) {
            *code = fail(QStringLiteral("--output needs a file name"), ExitUsage);
            return false;
        }
        return project ? openProjectList(inv.option(QStringLiteral("--project")), code)
                       : openListFile(inv, inv.words[2], code);
    }

    [[nodiscard]] ListTable &table() { return m_project ? m_project->project->table() : m_table; }
    [[nodiscard]] QString name() const { return m_project ? m_project->project->listFile() : m_file; }
    [[nodiscard]] QString target() const { return m_output.isEmpty() ? name() : m_output; }
    [[nodiscard]] double loadSeconds() const { return m_loadSeconds; }

    // Writes the result: to --output, else over the list itself (only
    // when something changed). The project's list is saved through the
    // project, which refuses a list that was not read whole unless --force.
    bool save(bool changed, int *code)
    {
        QString error;
        if (!m_output.isEmpty()) {
            const QChar delimiter = m_project ? m_project->project->delimiter() : m_delimiter;
            if (!table().save(m_output, delimiter, &error)) {
                *code = fail(QStringLiteral("cannot write \"%1\": %2").arg(m_output, error));
                return false;
            }
            return true;
        }
        if (!changed)
            return true;
        const bool saved = m_project ? m_project->project->saveList(&error) : m_table.save(m_file, m_delimiter, &error);
        if (!saved) {
            *code = fail(QStringLiteral("cannot save the list \"%1\": %2").arg(name(), error));
            return false;
        }
        return true;
    }

private:
    // Writing back a list that was not read whole would lose the rest of
    // its file.
    bool refuseIncomplete(const QString &file, const QString &warning, int *code) const
    {
        if (warning.isEmpty() || m_force || !m_output.isEmpty()) {
            if (!warning.isEmpty())
                warnListNotReadWhole(warning, file);
            return false;
        }
        *code = fail(QStringLiteral("the list \"%1\" was not read whole (%2); writing it back would keep only the "
                                    "records read and lose the rest: repair the file, write to --output FILE, or "
                                    "give --force to save anyway")
                         .arg(file, warning),
                     ExitUsage);
        return true;
    }

    bool openListFile(const Invocation &inv, const QString &file, int *code)
    {
        const auto delimiter = parseDelimiter(inv.option(QStringLiteral("--delimiter"), QStringLiteral(";")));
        if (!delimiter) {
            *code = fail(QStringLiteral("a delimiter is one character, Tab or Space"), ExitUsage);
            return false;
        }
        m_delimiter = *delimiter;
        m_file = file;
        if (!QFileInfo(file).isFile()) {
            *code = fail(QStringLiteral("no list file \"%1\"").arg(file), ExitUsage);
            return false;
        }
        QElapsedTimer timer;
        timer.start();
        const ListTable::LoadResult loaded = m_table.load(file, m_delimiter);
        m_loadSeconds = timer.nsecsElapsed() / 1e9;
        if (!loaded.fileRead) {
            *code = fail(QStringLiteral("cannot read the list \"%1\"").arg(file), ExitUsage);
            return false;
        }
        return !refuseIncomplete(file, loaded.warning, code);
    }

    bool openProjectList(const QString &file, int *code)
    {
        const QFileInfo info(file);
        if (!info.isFile() || !file.endsWith(u".eml", Qt::CaseInsensitive)) {
            *code = fail(QStringLiteral("no project file \"%1\" (give the project's .eml file)").arg(file), ExitUsage);
            return false;
        }
        // The lock first, then the list: what is read is what a run or a
        // `results --delete` left, and nothing changes it until we are done.
        QString error;
        m_lock = ProjectLock::acquire(info.absolutePath(), info.fileName().chopped(4), &error);
        if (!m_lock) {
            *code = fail(error, ExitUsage);
            return false;
        }
        QElapsedTimer timer;
        timer.start();
        m_project = openProject(file, false, &error);
        m_loadSeconds = timer.nsecsElapsed() / 1e9;
        if (!m_project) {
            *code = fail(error, ExitUsage);
            return false;
        }
        Project &project = *m_project->project;
        if (!project.listReadWhole()) {
            // openProject has warned already.
            if (m_output.isEmpty() && !m_force) {
                *code = fail(QStringLiteral("the list \"%1\" was not read whole (%2); saving it would keep only the "
                                            "records read and lose the rest: repair the file, write to --output "
                                            "FILE, or give --force to save anyway")
                                 .arg(project.listFile(), project.listWarning()),
                             ExitUsage);
                return false;
            }
            project.setListOverwriteConfirmed(m_force);
        }
        return true;
    }

    ListTable m_table;
    QString m_file;
    QChar m_delimiter = u';';
    QString m_output;
    bool m_force = false;
    double m_loadSeconds = 0;
    std::unique_ptr<ProjectLock> m_lock;
    std::unique_ptr<OpenedProject> m_project;
};

// 1-based column numbers: every --column, each possibly "2,3".
std::optional<std::vector<int>> columnsOf(const Invocation &inv, int columnCount, QString *error)
{
    std::vector<int> columns;
    const QStringList values = inv.options.values(QStringLiteral("--column"));
    for (const QString &value : values) {
        for (const QString &part : value.split(u',')) {
            bool ok = false;
            const int n = part.trimmed().toInt(&ok);
            if (!ok || n < 1) {
                *error = QStringLiteral("--column takes a column number from 1 (got \"%1\")").arg(part);
                return std::nullopt;
            }
            if (n > columnCount) {
                *error = QStringLiteral("--column %1: the list has %2 column(s)").arg(n).arg(columnCount);
                return std::nullopt;
            }
            columns.push_back(n - 1);
        }
    }
    return columns;
}

std::optional<int> oneColumn(const Invocation &inv, int columnCount, int fallback, QString *error)
{
    if (!inv.has(QStringLiteral("--column")))
        return fallback;
    const auto columns = columnsOf(inv, columnCount, error);
    if (!columns)
        return std::nullopt;
    if (columns->size() != 1) {
        *error = QStringLiteral("give one --column");
        return std::nullopt;
    }
    return columns->front();
}

QJsonObject summary(ListSource &source, int recordsIn, int recordsOut, double seconds)
{
    QJsonObject doc;
    doc.insert(QStringLiteral("list"), source.name());
    doc.insert(QStringLiteral("output"), source.target());
    doc.insert(QStringLiteral("recordsIn"), recordsIn);
    doc.insert(QStringLiteral("recordsOut"), recordsOut);
    doc.insert(QStringLiteral("seconds"), seconds);
    return doc;
}

// The end of a tool that removes records (dedupe, filter): takes them out,
// saves the list and reports, in JSON the summary, "removed" and `more`, in
// text one line that calls the removed records `removedWhat`.
int removeAndReport(const Invocation &inv, ListSource &source, const RemovalResult &result, const QElapsedTimer &timer,
                    const QString &removedWhat, const QJsonObject &more = {})
{
    ListTable &table = source.table();
    applyRemoval(table, result);
    int code = ExitOk;
    if (!source.save(!result.removedRows.empty(), &code))
        return code;
    const double seconds = timer.nsecsElapsed() / 1e9;
    QJsonObject doc = summary(source, result.recordsIn, table.rowCount(), seconds);
    doc.insert(QStringLiteral("removed"), int(result.removedRows.size()));
    for (auto it = more.begin(); it != more.end(); ++it)
        doc.insert(it.key(), it.value());
    print(inv, doc,
          QStringLiteral("%1: %2 records in, %3 out (%4 %5) in %6 s\n")
              .arg(source.target())
              .arg(result.recordsIn)
              .arg(table.rowCount())
              .arg(result.removedRows.size())
              .arg(removedWhat)
              .arg(seconds, 0, 'f', 3));
    return ExitOk;
}

int runDedupe(const Invocation &inv)
{
    QElapsedTimer timer;
    timer.start();
    ListSource source;
    int code = ExitOk;
    if (!inv.has(QStringLiteral("--column")))
        return fail(QString::fromLatin1(dedupeUsage), ExitUsage);
    if (!source.open(inv, dedupeUsage, &code))
        return code;
    ListTable &table = source.table();
    QString error;
    const auto columns = columnsOf(inv, table.columnCount(), &error);
    if (!columns)
        return fail(error, ExitUsage);

    return removeAndReport(inv, source, findDuplicates(table, *columns), timer, QStringLiteral("duplicates removed"));
}

// The first column of the keyword file, one keyword per line that has a
// field (as the filter window reads it).
std::optional<std::vector<QByteArray>> readKeywords(const Invocation &inv, QString *error)
{
    const QString file = inv.option(QStringLiteral("--keywords"));
    const auto delimiter = parseDelimiter(inv.option(QStringLiteral("--keywords-delimiter"), QStringLiteral(";")));
    if (!delimiter) {
        *error = QStringLiteral("--keywords-delimiter is one character, Tab or Space");
        return std::nullopt;
    }
    if (!QFileInfo(file).isFile()) {
        *error = QStringLiteral("no keyword file \"%1\"").arg(file);
        return std::nullopt;
    }
    ListTable keywords;
    const ListTable::LoadResult loaded = keywords.load(file, *delimiter);
    if (!loaded.fileRead) {
        *error = QStringLiteral("cannot read the keyword file \"%1\"").arg(file);
        return std::nullopt;
    }
    // Filtering with part of the keywords would keep records that should go.
    if (!loaded.readWhole()) {
        *error = QStringLiteral("the keyword file \"%1\" was not read whole: %2").arg(file, loaded.warning);
        return std::nullopt;
    }
    return keywordsOfColumn(keywords, 0);
}

int runFilter(const Invocation &inv)
{
    QElapsedTimer timer;
    timer.start();
    if (!inv.has(QStringLiteral("--column")) || !inv.has(QStringLiteral("--keywords")))
        return fail(QString::fromLatin1(filterUsage), ExitUsage);
    const QString modeName = inv.option(QStringLiteral("--mode"), QStringLiteral("equal"));
    if (modeName != u"equal" && modeName != u"contains")
        return fail(QStringLiteral("--mode is equal or contains"), ExitUsage);
    const FilterMode mode = modeName == u"equal" ? FilterMode::IsEqualExactly : FilterMode::ContainsKeywords;
    const QString removedFile = inv.option(QStringLiteral("--removed"));
    if (inv.has(QStringLiteral("--removed")) && removedFile.isEmpty())
        return fail(QStringLiteral("--removed needs a file name"), ExitUsage);
    QString error;
    const auto keywords = readKeywords(inv, &error);
    if (!keywords)
        return fail(error, ExitUsage);

    ListSource source;
    int code = ExitOk;
    if (!source.open(inv, filterUsage, &code))
        return code;
    ListTable &table = source.table();
    const auto column = oneColumn(inv, table.columnCount(), 0, &error);
    if (!column)
        return fail(error, ExitUsage);

    const RemovalResult result = findFilterMatches(table, *column, *keywords, mode);
    // The removed records are written before the list changes: a list
    // saved without them while their file failed would lose them.
    if (!removedFile.isEmpty()
        && !writeFileAtomically(removedFile, removedRecordsBytes(table, result.removedRows), &error))
        return fail(QStringLiteral("cannot write the removed records to \"%1\": %2; the list was not changed")
                        .arg(removedFile, error));
    QJsonObject more;
    more.insert(QStringLiteral("keywords"), qint64(keywords->size()));
    if (!removedFile.isEmpty())
        more.insert(QStringLiteral("removedFile"), removedFile);
    return removeAndReport(inv, source, result, timer, QStringLiteral("removed"), more);
}

int runReplace(const Invocation &inv)
{
    QElapsedTimer timer;
    timer.start();
    if (!inv.has(QStringLiteral("--pairs")))
        return fail(QString::fromLatin1(replaceUsage), ExitUsage);
    const QString pairsFile = inv.option(QStringLiteral("--pairs"));
    const auto pairsDelimiter = parseDelimiter(inv.option(QStringLiteral("--pairs-delimiter"), QStringLiteral(";")));
    if (!pairsDelimiter)
        return fail(QStringLiteral("--pairs-delimiter is one character, Tab or Space"), ExitUsage);
    if (!QFileInfo(pairsFile).isFile())
        return fail(QStringLiteral("no pairs file \"%1\"").arg(pairsFile), ExitUsage);
    const std::optional<QByteArray> pairsBytes = readFileBytes(pairsFile);
    if (!pairsBytes)
        return fail(QStringLiteral("cannot read the pairs file \"%1\"").arg(pairsFile), ExitUsage);
    if (const qsizetype nul = pairsBytes->indexOf('\0'); nul >= 0)
        return fail(QStringLiteral("the pairs file \"%1\" holds a NUL byte at offset %2: it is not a text file")
                        .arg(pairsFile)
                        .arg(nul),
                    ExitUsage);
    const std::vector<ReplacePair> pairs = replacePairsOf(
        parseReplaceFile(*pairsBytes, SystemCharset::fromUnicode(QStringView(&*pairsDelimiter, 1))));
    const bool caseSensitive = inv.has(QStringLiteral("--case-sensitive"));

    ListSource source;
    int code = ExitOk;
    if (!source.open(inv, replaceUsage, &code))
        return code;
    ListTable &table = source.table();
    QString error;
    const auto column = oneColumn(inv, table.columnCount(), 0, &error);
    if (!column)
        return fail(error, ExitUsage);

    const ReplaceResult result = findReplacements(table, *column, pairs, caseSensitive);
    applyReplacements(table, result);
    if (result.unsettledValues > 0)
        fail(QStringLiteral("warning: in %1 value(s) a pair kept rewriting its own output; it was applied in one "
                            "left-to-right pass there")
                 .arg(result.unsettledValues));
    if (!source.save(result.changedCells > 0, &code))
        return code;
    const double seconds = timer.nsecsElapsed() / 1e9;
    QJsonObject doc = summary(source, result.recordsIn, table.rowCount(), seconds);
    doc.insert(QStringLiteral("changedCells"), result.changedCells);
    doc.insert(QStringLiteral("pairs"), qint64(pairs.size()));
    print(inv, doc,
          QStringLiteral("%1: %2 records, %3 values changed in %4 s\n")
              .arg(source.target())
              .arg(result.recordsIn)
              .arg(result.changedCells)
              .arg(seconds, 0, 'f', 3));
    return ExitOk;
}

} // namespace

int runList(const Invocation &inv)
{
    const QString sub = inv.words.value(1);
    if (sub == u"stats")
        return runStats(inv);
    if (sub == u"dedupe")
        return runDedupe(inv);
    if (sub == u"filter")
        return runFilter(inv);
    if (sub == u"replace")
        return runReplace(inv);
    if (sub == u"import")
        return runListImport(inv);
    if (sub == u"export")
        return runListExport(inv);
    return fail(QStringLiteral("usage: list stats|dedupe|filter|replace|import|export ... (see --help)"), ExitUsage);
}

} // namespace varnholt::cli
