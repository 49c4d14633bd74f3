#include "extractrun.h"

#include "settings/syscharset.h"

#include <QDir>
#include <QFile>
#include <QHashSeed>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnholt::extract {

namespace {

// Work of one step before the event loop gets its turn.
constexpr qint64 kStepMillis = 20;

const QString kSkipText = QStringLiteral(".cnd|.exe|.com|.pdf|.arj|.zip|.lha|");

qsizetype parseNumber(const QString &text, qsizetype fallback)
{
    bool ok = false;
    const qlonglong v = text.trimmed().toLongLong(&ok);
    return ok ? qsizetype(v) : fallback;
}

QByteArray loweredMarker(const QString &text)
{
    return lowered(SystemCharset::fromUnicode(text));
}

// Printable ASCII (blank to DEL) with A-Z lowered; 0 for every other byte.
constexpr std::array<char, 256> kPlainFold = [] {
    std::array<char, 256> t{};
    for (int c = 0x20; c < 0x80; ++c)
        t[size_t(c)] = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return t;
}();

// Whether the system charset reads printable ASCII as itself, byte by byte
// and as a run (a stateful charset such as UTF-7 does not).
bool readsAsciiAsItself()
{
    QByteArray all;
    for (int c = 0x20; c < 0x80; ++c) {
        const char b = char(c);
        if (SystemCharset::toUnicode(QByteArrayView(&b, 1)) != QString(QChar(char16_t(c))))
            return false;
        all += b;
    }
    return SystemCharset::toUnicode(all) == QString::fromLatin1(all);
}

bool isAsciiText(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

} // namespace

// The values of a finder scan: their text, and with `unique` the set of
// those delivered, keyed by their letter-case folded text (what
// QString::toCaseFolded makes of the value as read).
//
// A finder's value is printable ASCII as a rule; in a charset that reads
// ASCII as itself its key is then its bytes with A-Z lowered, and a value
// seen before costs no QString at all. Any other value takes the way through
// QString; its folded text joins the same keys when it is ASCII, else a
// QSet, so the two ways agree on every value.
//
// The keys live in one byte arena, each after its hash and size, and an
// open-addressing table of 8-byte slots (16 bits of the hash, the key's
// place) finds them. The set outgrows the processor's caches on a large
// tree, so values come in batches: the slots and keys a batch will look at
// are fetched ahead, and their waits overlap instead of adding up.
class ExtractRun::SeenValues
{
public:
    static constexpr int kBatch = 32;

    SeenValues()
        : m_asciiAsItself(readsAsciiAsItself())
        , m_seed(QHashSeed::globalSeed())
        , m_slots(kInitialSlots, 0)
    {
    }

    [[nodiscard]] QString text(QByteArrayView value) const
    {
        if (m_asciiAsItself && isPlain(value))
            return QString::fromLatin1(value);
        return SystemCharset::toUnicode(value);
    }

    // Sets fresh[i] for each of the `count` values (at most kBatch) not
    // seen before, in order: a value twice in the batch is fresh once.
    // Every value is kept from now on.
    void insert(const QByteArrayView *values, int count, bool *fresh)
    {
        while ((m_count + size_t(count)) * 2 > m_slots.size())
            grow();
        const size_t mask = m_slots.size() - 1;
        m_keyBytes.resize(0);
        for (int i = 0; i < count; ++i) {
            Key &key = m_batch[i];
            key = makeKey(values[i]);
            if (key.other < 0)
                __builtin_prefetch(&m_slots[key.hash & mask]);
        }
        for (int i = 0; i < count; ++i) {
            const Key &key = m_batch[i];
            if (key.other >= 0)
                continue;
            const quint64 slot = m_slots[key.hash & mask];
            if (slot != 0 && (slot >> 48) == (key.hash >> 48))
                __builtin_prefetch(m_arena.constData() + (slot & kOffsetMask) - 1);
        }
        for (int i = 0; i < count; ++i) {
            const Key &key = m_batch[i];
            if (key.other >= 0) {
                const QString &folded = m_otherKeys[size_t(key.other)];
                fresh[i] = !m_others.contains(folded);
                if (fresh[i])
                    m_others.insert(folded);
            } else {
                fresh[i] = insertKey(key);
            }
        }
        m_otherKeys.clear();
    }

private:
    static constexpr size_t kInitialSlots = 1024;
    // A slot: 0 when free, else the hash's top 16 bits and the place of the
    // key's entry in the arena plus one.
    static constexpr quint64 kOffsetMask = (quint64(1) << 48) - 1;
    // An entry: the hash's low 32 bits, the key's size, the key.
    static constexpr qsizetype kEntryHead = 8;

    // A key of the batch: its bytes in m_keyBytes, or (`other` >= 0) a
    // folded text in m_otherKeys.
    struct Key {
        qsizetype at = 0;
        qsizetype size = 0;
        quint64 hash = 0;
        int other = -1;
    };

    static bool isPlain(QByteArrayView value)
    {
        for (const char c : value) {
            if (kPlainFold[static_cast<unsigned char>(c)] == 0)
                return false;
        }
        return true;
    }

    Key makeKey(QByteArrayView value)
    {
        Key key;
        key.at = m_keyBytes.size();
        key.size = value.size();
        m_keyBytes.resize(key.at + key.size);
        char *out = m_keyBytes.data() + key.at;
        bool plain = m_asciiAsItself;
        for (qsizetype i = 0; plain && i < value.size(); ++i) {
            out[i] = kPlainFold[static_cast<unsigned char>(value[i])];
            plain = out[i] != 0;
        }
        if (!plain) {
            m_keyBytes.resize(key.at);
            const QString folded = SystemCharset::toUnicode(value).toCaseFolded();
            if (!isAsciiText(folded)) {
                key.other = int(m_otherKeys.size());
                m_otherKeys.push_back(folded);
                return key;
            }
            m_keyBytes += folded.toLatin1();
            key.size = m_keyBytes.size() - key.at;
        }
        key.hash = quint64(qHashBits(m_keyBytes.constData() + key.at, size_t(key.size), m_seed));
        return key;
    }

    bool insertKey(const Key &key)
    {
        const char *bytes = m_keyBytes.constData() + key.at;
        const auto low = quint32(key.hash);
        const auto size = quint32(key.size);
        const quint64 tag = key.hash >> 48;
        const size_t mask = m_slots.size() - 1;
        for (size_t i = key.hash & mask;; i = (i + 1) & mask) {
            const quint64 slot = m_slots[i];
            if (slot == 0) {
                const qsizetype at = m_arena.size();
                m_arena.resize(at + kEntryHead + key.size);
                char *entry = m_arena.data() + at;
                std::memcpy(entry, &low, 4);
                std::memcpy(entry + 4, &size, 4);
                std::memcpy(entry + kEntryHead, bytes, size_t(key.size));
                m_slots[i] = (tag << 48) | quint64(at + 1);
                ++m_count;
                return true;
            }
            if ((slot >> 48) != tag)
                continue;
            const char *entry = m_arena.constData() + (slot & kOffsetMask) - 1;
            quint32 head[2];
            std::memcpy(head, entry, sizeof head);
            if (head[0] == low && head[1] == size && std::memcmp(entry + kEntryHead, bytes, size_t(size)) == 0)
                return false;
        }
    }

    void grow()
    {
        std::vector<quint64> table(m_slots.size() * 2, 0);
        const size_t mask = table.size() - 1;
        for (const quint64 slot : m_slots) {
            if (slot == 0)
                continue;
            quint32 low = 0;
            std::memcpy(&low, m_arena.constData() + (slot & kOffsetMask) - 1, 4);
            size_t i = low & mask;
            while (table[i] != 0)
                i = (i + 1) & mask;
            table[i] = slot;
        }
        m_slots = std::move(table);
    }

    const bool m_asciiAsItself;
    const size_t m_seed;
    std::vector<quint64> m_slots;
    size_t m_count = 0;
    QByteArray m_arena;
    QSet<QString> m_others;
    // The batch being looked up.
    std::array<Key, kBatch> m_batch;
    QByteArray m_keyBytes;
    std::vector<QString> m_otherKeys;
};

// The bytes of the open file still needed, and their lower-cased copy.
// Pieces are read straight onto the end; the memory stays from file to file.
struct ExtractRun::Buffer {
    QByteArray raw;
    QByteArray low;
    bool lowering = true;

    void reset(bool lower)
    {
        raw.resize(0);
        low.resize(0);
        lowering = lower;
    }
    void release()
    {
        raw = QByteArray();
        low = QByteArray();
    }
    // Reads up to `n` bytes of `fd` onto the end; read()'s result.
    qsizetype readFrom(int fd, qsizetype n)
    {
        const qsizetype old = raw.size();
        raw.resize(old + n);
        qsizetype got = 0;
        do {
            got = ::read(fd, raw.data() + old, size_t(n));
        } while (got < 0 && errno == EINTR);
        raw.resize(old + qMax<qsizetype>(got, 0));
        if (got > 0 && lowering) {
            // A two-byte character cut by the last piece's end is lowered
            // whole now, from its first byte.
            qsizetype from = old;
            if (old > 0 && (static_cast<unsigned char>(raw[old - 1]) & 0xE0) == 0xC0)
                from = old - 1;
            low.resize(raw.size());
            lowerInto(raw.constData() + from, low.data() + from, raw.size() - from);
        }
        return got;
    }
    void dropFront(qsizetype k)
    {
        dropFront(raw, k);
        if (lowering)
            dropFront(low, k);
    }
    // In place: QByteArray::remove would leave the room in front of the
    // data, and the next read would have to move everything to a new block.
    static void dropFront(QByteArray &bytes, qsizetype k)
    {
        const qsizetype rest = bytes.size() - k;
        std::memmove(bytes.data(), bytes.constData() + k, size_t(rest));
        bytes.resize(rest);
    }
};

struct ExtractRun::FileState {
    int fd = -1;
    QString name;
    bool eof = false;
    // The file's size when it was opened, and the bytes read so far.
    qint64 size = 0;
    qint64 read = 0;
    // Field mode: where the next record begin is searched; the record found
    // (-1: none yet) and where its end is searched.
    qsizetype pos = 0;
    qsizetype recordStart = -1;
    qsizetype endFrom = 0;
    // HTML table: tables seen; the table's start (-1: not found yet), the
    // scan for its end, its nesting level, whether a closing text was met.
    qsizetype tablesSeen = 0;
    qsizetype tableStart = -1;
    qsizetype tableScan = 0;
    qsizetype level = 0;
    bool sawClose = false;
    bool done = false;
};

ExtractRun::ExtractRun(QObject *parent)
    : QObject(parent)
    , m_buffer(std::make_unique<Buffer>())
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &ExtractRun::step);
}

ExtractRun::~ExtractRun()
{
    closeFile();
}

ExtractRun::Mask::Mask(const QString &mask)
{
    const QStringList masks = mask.split(u';', Qt::SkipEmptyParts);
    m_all = masks.isEmpty();
    for (const QString &m : masks) {
        const QString pattern = m.trimmed();
        if (pattern == u"*.*" || pattern == u"*" || pattern.isEmpty()) {
            m_all = true;
            break;
        }
        m_patterns.emplace_back(QRegularExpression::wildcardToRegularExpression(pattern),
                                QRegularExpression::CaseInsensitiveOption);
    }
    if (m_all)
        m_patterns.clear();
}

bool ExtractRun::Mask::matches(const QString &name) const
{
    if (m_all)
        return true;
    for (const QRegularExpression &re : m_patterns) {
        if (re.match(name).hasMatch())
            return true;
    }
    return false;
}

bool ExtractRun::maskMatches(const QString &mask, const QString &name)
{
    return Mask(mask).matches(name);
}

bool ExtractRun::skippedByExtension(const QString &name, Mode mode)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0)
        return false;
    const QString ext = name.mid(dot).toLower();
    if (mode == Mode::Fields)
        return kSkipText.contains(ext);
    if (mode == Mode::Scan)
        return false;
    return ext == u".cnd";
}

ExtractRun::Start ExtractRun::start(const ExtractConditions &c)
{
    if (m_running)
        return Start::Busy;
    m_titles.clear();
    m_rules.clear();
    m_uniqueFields.clear();
    m_seen.clear();
    if (!c.tableMode) {
        m_mode = Mode::Fields;
        const std::vector<rItem> items = c.namedItems();
        if (items.empty())
            return Start::NoFields;
        for (const rItem &item : items) {
            const FieldRule rule = fieldRuleOf(item);
            if (!item.unique.isEmpty())
                m_uniqueFields.push_back(int(m_rules.size()));
            m_rules.push_back(rule);
            m_titles << item.name;
        }
        m_seen.resize(m_rules.size());
        m_recordBegin = loweredMarker(c.recordBegin);
        m_recordEnd = c.recordEnd.isEmpty() ? m_recordBegin : loweredMarker(c.recordEnd);
        // A limit that is not a number, or below one byte, is off.
        const qsizetype limit = c.lengthLimitOn ? parseNumber(c.lengthLimit, 0) : 0;
        m_recordLimit = limit > 0 ? qMin(limit, m_maxRecord) : m_maxRecord;
    } else if (c.delimitedData && !c.htmlTable) {
        m_mode = Mode::Delimited;
        m_delimiter = SystemCharset::fromUnicode(c.dataDelimiter.left(1));
        if (m_delimiter.isEmpty())
            m_delimiter = ";";
        m_split = c.keepQuoted      ? DelimitedSplit::KeepQuoted
                  : c.delimiterRuns ? DelimitedSplit::DelimiterRuns
                                    : DelimitedSplit::Plain;
    } else {
        m_mode = Mode::HtmlTable;
        m_tableNumber = qMax<qsizetype>(parseNumber(c.tableNumber, 1), 1);
    }
    begin(c.folder, c.mask);
    return Start::Started;
}

ExtractRun::Start ExtractRun::startScan(const QString &folder, const QString &mask, Finder finder, bool unique)
{
    if (m_running)
        return Start::Busy;
    m_mode = Mode::Scan;
    m_finder = finder;
    m_scanUnique = unique;
    m_seen.clear();
    m_scanSeen = std::make_unique<SeenValues>();
    m_titles = {finder == Finder::Email ? QStringLiteral("E-mail")
                : finder == Finder::Url ? QStringLiteral("URL")
                                        : QStringLiteral("Domain")};
    begin(folder, mask);
    return Start::Started;
}

void ExtractRun::begin(const QString &folder, const QString &mask)
{
    m_counts = {};
    m_mask = Mask(mask);
    m_folders.clear();
    m_entries.clear();
    m_entryIndex = 0;
    m_files.clear();
    m_visited.clear();
    QString start = folder;
    while (start.size() > 1 && (start.endsWith(u'/') || start.endsWith(u'\\')))
        start.chop(1);
    struct stat st = {};
    if (::stat(QFile::encodeName(start).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        m_visited.insert({quint64(st.st_dev), quint64(st.st_ino)});
        m_folders.push_back(start);
    }
    m_running = true;
    m_stopRequested = false;
    m_stopped = false;
    m_timer.start();
}

void ExtractRun::stop()
{
    if (m_running)
        m_stopRequested = true;
}

void ExtractRun::finish(bool stopped)
{
    closeFile();
    m_folders.clear();
    m_files.clear();
    m_visited.clear();
    m_dir.reset();
    m_entries.clear();
    m_entryIndex = 0;
    m_seen.clear();
    m_scanSeen.reset();
    m_buffer->release();
    m_running = false;
    m_stopped = stopped;
    m_stopRequested = false;
    emit progress(m_counts);
    emit finished(stopped);
}

void ExtractRun::step()
{
    if (!m_running)
        return;
    QElapsedTimer clock;
    clock.start();
    while (!m_stopRequested) {
        if (m_file) {
            if (!fileStep())
                closeFile();
        } else if (!m_files.empty()) {
            openNextFile();
        } else if (m_dir) {
            readEntries(clock);
        } else if (m_entryIndex < qsizetype(m_entries.size())) {
            listEntries(clock);
        } else if (!m_folders.empty()) {
            const QString folder = m_folders.front();
            m_folders.pop_front();
            listFolder(folder);
        } else {
            finish(false);
            return;
        }
        if (clock.elapsed() >= kStepMillis)
            break;
    }
    if (m_stopRequested) {
        finish(true);
        return;
    }
    emit progress(m_counts);
    m_timer.start();
}

void ExtractRun::DirCloser::operator()(void *dir) const
{
    ::closedir(static_cast<DIR *>(dir));
}

void ExtractRun::listFolder(const QString &folder)
{
    ++m_counts.folders;
    m_listedFolder = folder;
    m_entries.clear();
    m_entryIndex = 0;
    m_dir.reset(::opendir(QFile::encodeName(folder).constData()));
    if (!m_dir)
        ++m_counts.skipped;
}

// Reads the folder's names until the step's time is up (a folder of many
// thousand files takes several steps), then sorts them.
void ExtractRun::readEntries(const QElapsedTimer &clock)
{
    auto *dir = static_cast<DIR *>(m_dir.get());
    for (int n = 1;; ++n) {
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            m_dir.reset();
            std::sort(m_entries.begin(), m_entries.end(),
                      [](const Entry &a, const Entry &b) { return a.name < b.name; });
            return;
        }
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            m_entries.push_back({QFile::decodeName(name), entry->d_type == DT_REG});
        if ((n & 255) == 0 && clock.elapsed() >= kStepMillis)
            return;
    }
}

// Looks at the listed entries until the step's time is up: subfolders join
// the queue, matching regular files the files to read.
void ExtractRun::listEntries(const QElapsedTimer &clock)
{
    while (m_entryIndex < qsizetype(m_entries.size())) {
        const Entry &entry = m_entries[size_t(m_entryIndex++)];
        const QString path = m_listedFolder + u'/' + entry.name;
        // A regular file by the listing that the mask takes needs no stat:
        // opening it checks it again (and counts it when that fails).
        const bool regularMatch = entry.regular && m_mask.matches(entry.name);
        struct stat st = {};
        if (regularMatch) {
            if (!skippedByExtension(entry.name, m_mode))
                m_files.push_back(path);
        } else if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
            // stat follows links: one that leads nowhere or in a circle fails.
            ++m_counts.skipped;
        } else if (S_ISDIR(st.st_mode)) {
            const QPair<quint64, quint64> key{quint64(st.st_dev), quint64(st.st_ino)};
            if (!m_visited.contains(key)) {
                m_visited.insert(key);
                m_folders.push_back(path);
            }
        } else if (!entry.regular && m_mask.matches(entry.name)) {
            if (!S_ISREG(st.st_mode))
                ++m_counts.skipped;
            else if (!skippedByExtension(entry.name, m_mode))
                m_files.push_back(path);
        }
        if ((m_entryIndex & 63) == 0 && clock.elapsed() >= kStepMillis)
            break;
    }
    if (m_entryIndex >= qsizetype(m_entries.size())) {
        m_entries.clear();
        m_entryIndex = 0;
    }
}

void ExtractRun::openNextFile()
{
    const QString path = m_files.front();
    m_files.pop_front();
    // Non-blocking, so a file that became a FIFO since the listing cannot
    // hold the run; fstat then turns it away.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ++m_counts.skipped;
        return;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        ++m_counts.skipped;
        return;
    }
    m_file = std::make_unique<FileState>();
    m_file->fd = fd;
    m_file->size = qint64(st.st_size);
    m_file->name = path.mid(path.lastIndexOf(u'/') + 1);
    // Delimited data needs no lower case, nor does the address scan: "@"
    // and the characters an address may hold are the same in both cases.
    m_buffer->reset(m_mode != Mode::Delimited && !(m_mode == Mode::Scan && m_finder == Finder::Email));
    ++m_counts.files;
}

void ExtractRun::closeFile()
{
    if (!m_file)
        return;
    if (m_file->fd >= 0)
        ::close(m_file->fd);
    m_file.reset();
}

bool ExtractRun::readPiece()
{
    FileState &f = *m_file;
    if (f.eof)
        return false;
    qsizetype got = m_buffer->readFrom(f.fd, m_pieceBytes);
    if (got > 0 && got < m_pieceBytes) {
        // A short read is the end of the file as a rule. One that reaches
        // the size the file had when opened is taken as the end; otherwise
        // (a file that grew, or one whose size says nothing, as in /proc)
        // reading again tells. A last piece is then scanned as such, with
        // no step of its own for the end.
        if (f.read + got == f.size) {
            f.eof = true;
        } else {
            const qsizetype more = m_buffer->readFrom(f.fd, m_pieceBytes - got);
            if (more < 0)
                ++m_counts.skipped;
            if (more <= 0)
                f.eof = true;
            else
                got += more;
        }
    }
    if (got <= 0) {
        // A read error ends the file like its end would.
        if (got < 0)
            ++m_counts.skipped;
        f.eof = true;
        return false;
    }
    m_counts.bytes += got;
    f.read += got;
    return true;
}

void ExtractRun::compact(qsizetype keepFrom)
{
    FileState &f = *m_file;
    keepFrom = qBound<qsizetype>(0, keepFrom, m_buffer->raw.size());
    if (keepFrom == 0)
        return;
    m_buffer->dropFront(keepFrom);
    f.pos = qMax<qsizetype>(f.pos - keepFrom, 0);
    if (f.recordStart >= 0)
        f.recordStart -= keepFrom;
    f.endFrom = qMax<qsizetype>(f.endFrom - keepFrom, 0);
    if (f.tableStart >= 0)
        f.tableStart -= keepFrom;
    f.tableScan = qMax<qsizetype>(f.tableScan - keepFrom, 0);
}

bool ExtractRun::fileStep()
{
    readPiece();
    switch (m_mode) {
    case Mode::Fields:
        fieldRecords();
        break;
    case Mode::HtmlTable:
        htmlTable();
        break;
    case Mode::Delimited:
        delimitedLines();
        break;
    case Mode::Scan:
        scanHits();
        break;
    }
    return !m_file->done;
}

void ExtractRun::fieldRecords()
{
    FileState &f = *m_file;
    const QByteArray &low = m_buffer->low;
    const QByteArray &B = m_recordBegin;
    const QByteArray &E = m_recordEnd;
    while (!m_stopRequested) {
        const qsizetype n = low.size();
        if (f.recordStart < 0) {
            qsizetype at = f.pos;
            if (B.isEmpty()) {
                if (at >= n) {
                    f.done = f.eof;
                    break;
                }
            } else {
                at = low.indexOf(B, f.pos);
                if (at < 0) {
                    f.done = f.eof;
                    f.pos = qMax(f.pos, n - B.size() + 1);
                    break;
                }
            }
            f.recordStart = at;
            // The end is searched from the begin's last character, never
            // from the record's first: an empty record would leave the
            // scan where it was.
            f.endFrom = at + qMax<qsizetype>(B.size() - 1, 1);
        }
        const qsizetype start = f.recordStart;
        qsizetype end = -1;
        if (E.isEmpty()) {
            // Neither begin nor end: the records are the text itself, up to
            // the limit each.
            if (n - start >= m_recordLimit)
                end = start + m_recordLimit;
            else if (f.eof)
                end = n;
        } else {
            const qsizetype at = low.indexOf(E, f.endFrom);
            if (at >= 0)
                end = qMin(at, start + m_recordLimit);
            else if (n - start >= m_recordLimit + E.size())
                end = start + m_recordLimit;
            else if (f.eof)
                end = qMin(n, start + m_recordLimit);
            else
                f.endFrom = qMax(f.endFrom, n - E.size() + 1);
        }
        if (end < 0)
            break;
        processRecord(start, end);
        f.pos = end;
        f.recordStart = -1;
    }
    compact(f.recordStart >= 0 ? f.recordStart : f.pos);
}

void ExtractRun::processRecord(qsizetype start, qsizetype end)
{
    const QByteArrayView low = QByteArrayView(m_buffer->low).sliced(start, end - start);
    const QByteArrayView raw = QByteArrayView(m_buffer->raw).sliced(start, end - start);
    QStringList values;
    values.reserve(qsizetype(m_rules.size()));
    bool any = false;
    for (const FieldRule &rule : m_rules) {
        const auto span = locateField(rule, low);
        QString value = span ? SystemCharset::toUnicode(valueBytes(raw, *span)) : QString();
        any = any || !value.isEmpty();
        values << value;
    }
    if (!any)
        return;
    for (const int field : m_uniqueFields) {
        QSet<QString> &seen = m_seen[size_t(field)];
        const QString key = values[field].toCaseFolded();
        if (seen.contains(key))
            return;
        seen.insert(key);
    }
    deliver(std::move(values));
}

void ExtractRun::deliver(QStringList values)
{
    ++m_counts.rows;
    for (const QString &v : values)
        m_counts.values += v.isEmpty() ? 0 : 1;
    if (m_mode == Mode::HtmlTable || m_mode == Mode::Delimited) {
        while (m_titles.size() < values.size())
            m_titles << QString::number(m_titles.size() + 1);
    }
    emit rowFound(ExtractRow{m_file->name, std::move(values)});
}

void ExtractRun::htmlTable()
{
    FileState &f = *m_file;
    const QByteArray &low = m_buffer->low;
    static const QByteArray open = "<table";
    static const QByteArray close = "</table";
    if (f.tableStart < 0) {
        // The N-th "<table"; each search starts inside the previous one.
        while (true) {
            const qsizetype at = low.indexOf(open, f.pos);
            if (at < 0) {
                f.done = f.eof;
                compact(qMax<qsizetype>(0, low.size() - open.size() + 1));
                return;
            }
            f.pos = at + 1;
            if (++f.tablesSeen == m_tableNumber) {
                f.tableStart = at;
                f.tableScan = at;
                f.level = 0;
                f.sawClose = false;
                compact(at);
                break;
            }
        }
    }
    // The table's end: every "<table" opens a level, every "</table" closes
    // one; the table ends with the one that closes the first.
    const qsizetype n = low.size();
    qsizetype end = -1;
    qsizetype i = f.tableScan;
    while (true) {
        const qsizetype lt = low.indexOf('<', i);
        if (lt < 0 || (!f.eof && lt + close.size() > n)) {
            i = lt < 0 ? n : lt;
            break;
        }
        if (QByteArrayView(low).sliced(lt).startsWith(open)) {
            ++f.level;
        } else if (QByteArrayView(low).sliced(lt).startsWith(close)) {
            f.sawClose = true;
            if (--f.level == 0) {
                end = lt + close.size();
                break;
            }
        }
        i = lt + 1;
    }
    f.tableScan = i;
    if (end < 0) {
        if (n - f.tableStart >= m_maxRecord) {
            end = f.tableStart + m_maxRecord; // as far as a table is kept
        } else if (f.eof) {
            // No closing text at all: the table runs to the end of the file;
            // closing texts that ran out first: there is no table.
            if (f.sawClose) {
                f.done = true;
                return;
            }
            end = n;
        } else {
            return;
        }
    }
    tableRows(f.tableStart, end);
    f.done = true;
}

void ExtractRun::tableRows(qsizetype start, qsizetype end)
{
    const QByteArrayView low = m_buffer->low;
    const QByteArrayView raw = m_buffer->raw;
    qsizetype from = start;
    while (!m_stopRequested) {
        const auto row = matchElement(low, "<tr", "</tr>", from, end);
        if (!row)
            break;
        from = row->end;
        QStringList cells;
        bool any = false;
        qsizetype cellFrom = row->start;
        while (const auto cell = matchElement(low, "<td", "</td>", cellFrom, row->end)) {
            cellFrom = cell->end;
            QString text = SystemCharset::toUnicode(cellText(raw.sliced(cell->start, cell->size())));
            any = any || !text.isEmpty();
            cells << text;
        }
        if (any)
            deliver(std::move(cells));
        if (row->end >= end)
            break;
    }
}

void ExtractRun::delimitedLines()
{
    FileState &f = *m_file;
    const QByteArray &raw = m_buffer->raw;
    const qsizetype n = raw.size();
    while (!m_stopRequested && f.pos < n) {
        qsizetype q = f.pos;
        while (q < n && raw[q] != '\n' && raw[q] != '\r')
            ++q;
        if (q == n && !f.eof && q - f.pos < m_maxRecord)
            break;
        if (q + 1 == n && raw[q] == '\r' && !f.eof)
            break; // an LF may follow in the next piece
        const qsizetype lineEnd = qMin(q, f.pos + m_maxRecord);
        const QByteArrayView line = QByteArrayView(raw).sliced(f.pos, lineEnd - f.pos);
        const auto fields = splitDelimitedLine(line, m_delimiter, m_split);
        QStringList values;
        bool any = false;
        for (const QByteArray &field : fields) {
            values << SystemCharset::toUnicode(field);
            any = any || !field.isEmpty();
        }
        if (any)
            deliver(std::move(values));
        if (lineEnd < q) {
            f.pos = lineEnd;
            continue;
        }
        if (q < n && raw[q] == '\r' && q + 1 < n && raw[q + 1] == '\n')
            q += 2;
        else if (q < n)
            ++q;
        f.pos = q;
    }
    if (f.pos >= n && f.eof)
        f.done = true;
    compact(f.pos);
}

void ExtractRun::scanHits()
{
    FileState &f = *m_file;
    const QByteArrayView raw = m_buffer->raw;
    const QByteArrayView low = m_buffer->lowering ? QByteArrayView(m_buffer->low) : raw;
    const qsizetype n = low.size();
    // Values are delivered a batch at a time (the unique check looks them
    // up together), in the order found.
    std::array<QByteArrayView, SeenValues::kBatch> batch;
    std::array<bool, SeenValues::kBatch> fresh;
    int pending = 0;
    auto deliverBatch = [&] {
        if (m_scanUnique)
            m_scanSeen->insert(batch.data(), pending, fresh.data());
        for (int i = 0; i < pending && !m_stopRequested; ++i) {
            if (!m_scanUnique || fresh[size_t(i)])
                deliver({m_scanSeen->text(batch[size_t(i)])});
        }
        pending = 0;
    };
    // A hit is taken once the text around it is all here: kScanReach
    // back from its anchor, twice that forward (href= blanks, then the span).
    const qsizetype safe = f.eof ? n : n - 2 * kScanReach - 8;
    while (!m_stopRequested && f.pos < safe) {
        const auto hit = nextFinderHit(m_finder, low, f.pos, kScanReach);
        if (!hit) {
            f.pos = f.eof ? n : qMax(f.pos, n - 8);
            break;
        }
        if (hit->anchor >= safe) {
            f.pos = hit->anchor;
            break;
        }
        f.pos = hit->anchor + 1;
        if (hit->anchorOnly || hit->span.size() == 0)
            continue;
        f.pos = qMax(f.pos, hit->span.end);
        batch[size_t(pending++)] = raw.sliced(hit->span.start, hit->span.size());
        if (pending == SeenValues::kBatch)
            deliverBatch();
    }
    deliverBatch();
    if (f.eof && (f.pos >= safe || f.pos >= n))
        f.done = true;
    compact(f.pos - kScanReach);
}

} // namespace varnholt::extract
