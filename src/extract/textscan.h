#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>
#include <vector>

// The pure text work of the extraction: lower-casing, locating a field in a
// record, the three finders, HTML elements and cells, and the splitting of
// delimited lines. Everything works on bytes in the system charset; the
// markers, separators and anchors are ASCII, which reads the same in every
// charset the program handles.
namespace varnholt::extract {

// A half-open byte range [start, end) of a text.
struct Span {
    qsizetype start = 0;
    qsizetype end = 0;
    [[nodiscard]] qsizetype size() const { return end - start; }
    bool operator==(const Span &) const = default;
};

// Lower-cases `n` bytes from `src` into `dst` (may be the same place), one
// character for one character of the same byte length: ASCII letters always;
// in UTF-8 the two-byte letters whose lower case has two bytes too; in a
// single-byte charset every letter the charset has in both cases.
void lowerInto(const char *src, char *dst, qsizetype n);
[[nodiscard]] QByteArray lowered(QByteArrayView text);

// The position after `count` characters from `from` (at most `end`): bytes
// in a single-byte charset, whole UTF-8 sequences in UTF-8.
[[nodiscard]] qsizetype advanceChars(QByteArrayView text, qsizetype from, qsizetype count, qsizetype end);

// The finders a field's Begin can name.
enum class Finder { Email, Url, Domain };

// The finders named by a Begin that starts with "^": its alternatives are
// separated by "^+"; unknown ones find nothing and are left out.
[[nodiscard]] std::vector<Finder> findersOf(QByteArrayView lowerBegin);

// One hit of a finder: where its anchor starts and the value's span. A hit
// whose span is the anchor alone (a lone "@") has `anchorOnly` set.
struct FinderHit {
    qsizetype anchor = 0;
    qsizetype anchorSize = 0;
    Span span;
    bool anchorOnly = false;
};

// The first hit of `finder` in `lower` whose anchor starts at or after
// `from`. With `reach` set, a span reaches at most that many bytes back
// from its anchor and forward from the later of the anchor's end and the
// span's start (href= blanks and quotes count too), so a scan in pieces
// finds the same spans as one over the whole text; -1 is no bound.
[[nodiscard]] std::optional<FinderHit> nextFinderHit(Finder finder, QByteArrayView lower, qsizetype from,
                                                     qsizetype reach = -1);

// The `occurrence`-th hit of a finder in a record, counted from 1; a hit
// that is the anchor alone ends the search. Below 1 counts as 1.
[[nodiscard]] std::optional<Span> findOccurrence(Finder finder, QByteArrayView lower, qsizetype occurrence);

// A field definition with its numbers parsed, markers lower-cased.
struct FieldRule {
    QByteArray begin;
    QByteArray end;
    std::vector<Finder> finders; // set when Begin starts with "^"
    bool finderBegin = false;
    qsizetype identifier = 1;    // below 1 counts as 1
    qsizetype symbols = 0;
    qsizetype words = 0;
    qsizetype lines = 0;
    qsizetype lineNumber = 0;
};

// Where the value of `rule` lies in the lower-cased record, or nothing.
[[nodiscard]] std::optional<Span> locateField(const FieldRule &rule, QByteArrayView lower);

// The bytes of `text` in `span` without CR, LF and Tab.
[[nodiscard]] QByteArray valueBytes(QByteArrayView text, Span span);

// An element opened by `open` and closed by `close` (nesting counted),
// searched from `from` within `limit`: its span runs from the opening text
// to the end of the closing one, or to `limit` when `close` does not occur
// at all; nothing when there is no opening text or the closing texts run
// out before the level comes back to zero.
[[nodiscard]] std::optional<Span> matchElement(QByteArrayView lower, QByteArrayView open, QByteArrayView close,
                                               qsizetype from, qsizetype limit);

// The text of a cell: CR, LF and Tab removed, then the markup, then every
// "&nbsp" with a ";" right after it.
[[nodiscard]] QByteArray cellText(QByteArrayView element);

// How a delimited line is split.
enum class DelimitedSplit { Plain, KeepQuoted, DelimiterRuns };
[[nodiscard]] std::vector<QByteArray> splitDelimitedLine(QByteArrayView line, QByteArrayView delimiter,
                                                         DelimitedSplit how);

} // namespace varnholt::extract
