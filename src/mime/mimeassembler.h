#pragma once

#include "mime/encodings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// The message an SMTP session sends after DATA: header block, MIME body and
// the final "." line, produced piece by piece so that pictures and
// attachments are never held whole in memory.
namespace varnholt {

enum TTypeContent {
    tcPlain = 0,
    tcHtml = 1,
};

// What one message is made of. Texts are the program's own (Unicode);
// they are written in `MimeChar`.
struct MimeInputs {
    QString FROM_Name;
    QString FROM_Address;
    QStringList ListTo;  // "address|display name"; the name may be empty
    QStringList Listcc;  // same form
    QString Subject;     // no Subject line when empty
    QStringList Headers; // further "Name: value" lines
    QString Charset = QStringLiteral("UTF-8"); // label in Content-Type lines
    TMimeChar MimeChar = TMimeChar::UTF_8;      // set the texts are written in
    THdrCoding HdrCoding = hcQuotedPrn;
    QString Content_Type = QStringLiteral("text/plain"); // of a single-part message
    TTypeContent TypeContent = tcPlain;
    QStringList MailText; // plain body, one entry per line
    QStringList HtmlText; // HTML body, one entry per line
    QStringList HtmlFiles; // pictures embedded in the HTML (full paths)
    QStringList HtmlCids;  // their content IDs, same length as HtmlFiles
    QStringList Attachments; // full paths
};

// Pull the message with nextChunk() until atEnd(). Every chunk is whole
// lines ending in CR LF, already dot-stuffed (RFC 5321 4.5.2), at most about
// 64 KB; the last one ends with the "." line. Files are opened and read only
// while their part is produced.
//
// The signals are the session's information events and are emitted from
// inside nextChunk(); a slot may call abort().
class MimeAssembler : public QObject
{
    Q_OBJECT
public:
    explicit MimeAssembler(MimeInputs inputs, QObject *parent = nullptr);
    ~MimeAssembler() override;

    [[nodiscard]] bool atEnd() const;
    // The next piece of wire bytes; empty once atEnd().
    QByteArray nextChunk();
    // Stops the message: nothing more is produced, not even the closing
    // boundaries and the "." line.
    void abort();
    [[nodiscard]] bool isAborted() const;

    // The charset the texts are actually written in and its label: the
    // inputs' own, or UTF-8 when the texts cannot be written in `MimeChar`.
    [[nodiscard]] TMimeChar messageCharset() const;
    [[nodiscard]] QByteArray charsetLabel() const;
    // Mixed, alternative, related: those the message uses, in that order.
    [[nodiscard]] QList<QByteArray> boundaries() const;

    static constexpr qsizetype ChunkTarget = 60 * 1024;

Q_SIGNALS:
    void miPartSize(qint64 bytes);     // a text part starts
    void miPartProgress(qint64 bytes); // after each 2048-byte chunk of it
    void miFile(const QString &path);  // a picture or attachment starts
    void miFileError(const QString &path); // ... could not be opened or read

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace varnholt
