#pragma once

#include "extract/conditions.h"
#include "extract/textscan.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <memory>
#include <vector>

// The extraction run: walks a folder tree and pulls result rows out of the
// files that match the mask, by the conditions' field definitions, HTML
// table or delimited data; or, for the common case, every e-mail address,
// URL or domain a finder sees.
//
// It runs on the event loop in steps: each step does a bounded amount of
// work (a piece of a file, a folder listing, a few small files) and then
// queues the next with a zero timer, so a window stays responsive and
// stop() takes effect at the next step. Files are read in pieces; a record,
// an HTML table or a line is held in memory up to kMaxRecordBytes, so the
// memory a run takes does not grow with the size of a file. Only regular
// files are read: FIFOs, devices and sockets, files that cannot be opened
// and links that lead nowhere or in a circle are skipped and counted; a
// folder reached twice (through a link) is walked once.
namespace varnholt::extract {

struct ExtractRow {
    QString file;        // name without folder
    QStringList values;
};

struct ExtractCounts {
    qint64 files = 0;    // files read
    qint64 bytes = 0;    // bytes read
    qint64 rows = 0;     // rows delivered
    qint64 values = 0;   // non-empty values delivered
    qint64 skipped = 0;  // special, unreadable or looping entries
    qint64 folders = 0;  // folders walked
};

class ExtractRun : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype kDefaultPieceBytes = qsizetype(1) << 20;
    // The most of one record, table or line kept in memory: a longer record
    // is cut here as if the length limit said so, a longer table or line too.
    static constexpr qsizetype kMaxRecordBytes = qsizetype(16) << 20;
    // How far a found value reaches from its anchor in a finder scan.
    static constexpr qsizetype kScanReach = qsizetype(16) << 10;

    enum class Mode { Fields, HtmlTable, Delimited, Scan };
    enum class Start { Started, NoFields, Busy };

    explicit ExtractRun(QObject *parent = nullptr);
    ~ExtractRun() override;

    // Runs the conditions. NoFields: field mode without a named field
    // definition (nothing runs).
    Start start(const ExtractConditions &conditions);
    // Every value `finder` finds (a hit that is the anchor alone is passed
    // over) in the files of `folder` and its subfolders that match `mask`,
    // one row each; with `unique` a value seen before (letter case ignored)
    // is left out.
    Start startScan(const QString &folder, const QString &mask, Finder finder, bool unique);
    // Ends the run at its next step; finished(true) follows.
    void stop();

    [[nodiscard]] bool isRunning() const { return m_running; }
    [[nodiscard]] bool wasStopped() const { return m_stopped; }
    [[nodiscard]] Mode mode() const { return m_mode; }
    // The value columns after "Files": the field names, or a finder's name;
    // the table modes number theirs "1", "2", ... as the rows grow.
    [[nodiscard]] QStringList columnTitles() const { return m_titles; }
    [[nodiscard]] const ExtractCounts &counts() const { return m_counts; }

    // For tests: smaller pieces put more boundaries into a file, a smaller
    // record limit shows where a record is cut.
    void setPieceBytes(qsizetype bytes) { m_pieceBytes = qMax<qsizetype>(bytes, 1); }
    void setMaxRecordBytes(qsizetype bytes) { m_maxRecord = qMax<qsizetype>(bytes, 1); }

    // Whether the mask ("*.*" is everything; several masks separated by
    // ";"; "*" and "?" wildcards, letter case ignored) matches a file name.
    [[nodiscard]] static bool maskMatches(const QString &mask, const QString &name);
    // The same with the mask made once.
    class Mask
    {
    public:
        explicit Mask(const QString &mask = {});
        [[nodiscard]] bool matches(const QString &name) const;

    private:
        bool m_all = true;
        std::vector<QRegularExpression> m_patterns;
    };
    // Whether field mode leaves the file alone by its extension.
    [[nodiscard]] static bool skippedByExtension(const QString &name, Mode mode);

signals:
    void rowFound(const varnholt::extract::ExtractRow &row);
    // After every step.
    void progress(const varnholt::extract::ExtractCounts &counts);
    void finished(bool stopped);

private:
    struct Buffer;
    struct FileState;
    class SeenValues;
    void begin(const QString &folder, const QString &mask);
    void step();
    void finish(bool stopped);
    void listFolder(const QString &folder);
    void readEntries(const QElapsedTimer &clock);
    void listEntries(const QElapsedTimer &clock);
    void openNextFile();
    void closeFile();
    // One piece of the open file; false when the file is done.
    bool fileStep();
    bool readPiece();
    void compact(qsizetype keepFrom);
    void fieldRecords();
    void processRecord(qsizetype start, qsizetype end);
    void htmlTable();
    void tableRows(qsizetype start, qsizetype end);
    void delimitedLines();
    void scanHits();
    void deliver(QStringList values);

    Mode m_mode = Mode::Fields;
    bool m_running = false;
    bool m_stopRequested = false;
    bool m_stopped = false;
    QTimer m_timer;
    ExtractCounts m_counts;
    QStringList m_titles;
    qsizetype m_pieceBytes = kDefaultPieceBytes;
    qsizetype m_maxRecord = kMaxRecordBytes;

    // The walk.
    Mask m_mask;
    std::deque<QString> m_folders;
    // The folder being listed: its directory stream while the names are
    // read, then its sorted entries and how far they were looked at.
    struct DirCloser {
        void operator()(void *dir) const;
    };
    std::unique_ptr<void, DirCloser> m_dir;
    QString m_listedFolder;
    struct Entry {
        QString name;
        bool regular = false; // a regular file by the listing (no link)
    };
    std::vector<Entry> m_entries;
    qsizetype m_entryIndex = 0;
    std::deque<QString> m_files;
    QSet<QPair<quint64, quint64>> m_visited;

    // Field mode.
    QByteArray m_recordBegin;
    QByteArray m_recordEnd;
    qsizetype m_recordLimit = 0;
    std::vector<FieldRule> m_rules;
    std::vector<int> m_uniqueFields;
    std::vector<QSet<QString>> m_seen;
    // Table modes.
    qsizetype m_tableNumber = 1;
    QByteArray m_delimiter;
    DelimitedSplit m_split = DelimitedSplit::Plain;
    // Scan.
    Finder m_finder = Finder::Email;
    bool m_scanUnique = false;
    std::unique_ptr<SeenValues> m_scanSeen;

    std::unique_ptr<FileState> m_file;
    // The open file's bytes; its memory is kept from file to file.
    std::unique_ptr<Buffer> m_buffer;
};

} // namespace varnholt::extract
