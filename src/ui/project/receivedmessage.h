#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// A message as its recipient's mail program reads it, for the preview: the
// header fields unfolded and their encoded words decoded (RFC 2047), the
// MIME tree walked (RFC 2046), each part's transfer encoding undone (base64,
// quoted-printable, RFC 2045 6) and its text decoded from its charset. What
// the preview shows is read back from the bytes that go to the server, not
// taken from the inputs they were made of. No widgets here.
namespace varnholt {

struct ReceivedPart {
    QByteArray type;         // lower case, such as "image/png"
    QString fileName;        // decoded; empty when the part names none
    QByteArray contentId;    // without its angle brackets; empty when none
    bool attachment = false; // Content-Disposition: attachment
    qint64 size = 0;         // bytes once decoded
    QByteArray data;         // decoded; kept for the pictures only
};

struct ReceivedMessage {
    struct Field {
        QString name;  // as written
        QString value; // unfolded and decoded
    };
    QList<Field> headers; // of the message itself, in order
    bool hasPlainText = false;
    QString plainText; // the first text/plain part that is not an attachment
    bool hasHtml = false;
    QString html;      // the first text/html part that is not an attachment
    QList<ReceivedPart> pictures;    // parts with a Content-ID
    QList<ReceivedPart> attachments; // every other part

    // The first field of that name (any case); empty when there is none.
    [[nodiscard]] QString header(QStringView name) const;
    // The picture of that Content-ID; null when there is none.
    [[nodiscard]] const ReceivedPart *picture(QByteArrayView contentId) const;

    // Reads a whole message: header block, empty line, body; lines may end
    // with CR LF or LF.
    [[nodiscard]] static ReceivedMessage read(QByteArrayView message);
};

// A header field's value with its encoded words decoded (RFC 2047 6): the
// blanks between two adjacent encoded words go; other bytes are UTF-8 when
// they form UTF-8, else Latin-1.
[[nodiscard]] QString DecodeHeaderValue(QByteArrayView value);

// Quoted-printable undone (RFC 2045 6.7): "=XX" and soft line breaks.
[[nodiscard]] QByteArray DecodeQuotedPrintable(QByteArrayView text);

} // namespace varnholt
