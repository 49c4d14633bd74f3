#pragma once

#include "mime/mimeassembler.h"
#include "sending/inlinepictures.h"
#include "sending/mailmerge.h"
#include "sending/messagefile.h" // MessageFileBytes, for callers of the preparer
#include "settings/settings.h"

#include <QDateTime>
#include <QHash>
#include <QRandomGenerator>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Preparing one personalised message per record of the mailing list: the
// merged subject and bodies, the inline pictures, the recipient's
// attachments, the sender and the extra header lines, as MimeInputs ready
// for SendMail or for writing to a file.
namespace varnholt {

class ListTable;
class Project;

// VARNHOLT_VERSION comes from the project version in CMakeLists.txt, the same
// one "varnholt-cli --version" prints.
inline constexpr char16_t kXMailer[] = u"X-Mailer: Varnholt " VARNHOLT_VERSION;
// PreparedMessage::error of a row whose subject, plain text or HTML body
// would be longer than kMaxMergedLength once merged.
inline constexpr char16_t kMergedTooLarge[] = u"merged message too large";

// The project's message templates, read once per run.
struct MessageTemplates {
    QString subject;   // the project's "Subject"
    QString plainText; // N.mml, empty when missing
    bool htmlMode = false; // the project's format is HTML and N.htm exists
    QString html;          // N.htm in HTML mode

    [[nodiscard]] static MessageTemplates fromProject(const Project &project);
};



// The sender of the account path: "ReturnAddress", or UserID@PopServer when
// that is empty; the account's name in double quotes when it has one.
struct SenderIdentity {
    QString address;
    QString name;

    [[nodiscard]] static SenderIdentity fromAccount(const tAccountObj &account);
};

// What the SMTP session needs besides the message, for the whole run.
struct SmtpSessionSettings {
    QString server;
    quint16 port = 25;
    bool auth = false;
    QString user;
    QString password;
    bool heloDef = true;
    QString heloTxt;
    int timeoutSeconds = 10; // TimeoutArp and TimeoutConnect
    AccountSecurity security = AccountSecurity::None;
    bool pipelining = true; // when the server offers it

    [[nodiscard]] static SmtpSessionSettings from(const tAccountObj &account, const TIniInfo &project);
};

// The charset name of the project's "CharSet" entry, "us_ascii" when empty.
[[nodiscard]] QString MessageCharsetName(const TIniInfo &project);

// A clock reading to the second, as its own date, second and kind of time. It is
// compared without converting between local time and UTC: for local times
// Qt asks the C library, which looks at the time zone file on every call.
// (A local second that repeats when daylight saving time ends is taken for
// the same second; texts made for it differ at most in their offset.)
struct LocalSecond {
    QDate date;
    int second = -1; // of the day
    Qt::TimeSpec kind = Qt::LocalTime;

    // Whether `now` falls in this second; if not, this becomes its second.
    bool advanceTo(const QDateTime &now)
    {
        const QTime t = now.time();
        const LocalSecond next{now.date(), t.msecsSinceStartOfDay() / 1000, now.timeSpec()};
        if (next.date == date && next.second == second && next.kind == kind && kind != Qt::OffsetFromUTC
            && kind != Qt::TimeZone)
            return true;
        *this = next;
        return false;
    }
};

// Message-Id values that differ for every message (RFC 5322 3.6.4): the time
// to the second, a random tag drawn once per source and a running number,
// so that neither two messages of one run nor two runs in the same second
// share one.
class MessageIdSource
{
public:
    MessageIdSource();
    explicit MessageIdSource(quint32 runTag)
        : m_tag(runTag)
    {
    }

    // "<yyyyMMddhhmmss.TAG.N.23w9r9A@domain>". An empty domain is replaced
    // by `fallbackDomain` (or "localhost"): the part after "@" must not be
    // empty.
    [[nodiscard]] QString next(const QDateTime &now, const QString &domain, const QString &fallbackDomain = {});

private:
    quint32 m_tag;
    quint64 m_count = 0;
    // "<yyyyMMddhhmmss.TAG." for the second it was made in.
    LocalSecond m_prefixSecond;
    QString m_prefix;
};

// The extra header lines of one account's messages. What changes at most
// once a second (the Date text, the time in the Message-Id) is made once
// for that second.
class ExtraHeaders
{
public:
    explicit ExtraHeaders(const tAccountObj &account);

    // Date, Reply-To (when the account has a "ReturnAddress"), X-Mailer,
    // Message-Id.
    [[nodiscard]] QStringList lines(const QDateTime &now, MessageIdSource &ids);

private:
    QString m_replyTo; // the whole line; empty when there is none
    QString m_xMailer;
    QString m_domain;
    QString m_fallbackDomain;
    LocalSecond m_dateSecond;
    QString m_dateLine;
};

// The extra header lines of a message, in order: Date, Reply-To (when the
// account has a "ReturnAddress"), X-Mailer, Message-Id.
[[nodiscard]] QStringList ExtraHeaderLines(const tAccountObj &account, const QDateTime &now,
                                           MessageIdSource &ids);

// The recipient's attachments: the file named in the attachment column
// (when one is set and the file exists), then the project attachments that
// exist, in list order.
[[nodiscard]] QStringList RecipientAttachments(const QString &attachmentCell, const QStringList &projectAttachments);

struct PreparedMessage {
    int row = -1;
    QString toAddress; // the recipient's e-mail cell
    QString toName;    // empty
    // ListTo is empty: SendMail puts the recipient first itself.
    MimeInputs inputs;
    // Empty when the message is ready; otherwise why the row cannot be sent
    // (kMergedTooLarge), and the inputs are incomplete.
    QString error;

    // The inputs with the recipient in ListTo, as SendMail hands them to the
    // assembler: what goes to the server.
    [[nodiscard]] MimeInputs withRecipient() const;
};

class MessagePreparer
{
public:
    struct Setup {
        MessageTemplates templates;
        QStringList titles;          // column titles ("Column#1", ...)
        const ListTable *table = nullptr;
        int emailColumn = 0;
        int attachmentColumn = -1;   // -1: none
        QStringList projectAttachments; // full paths, in list order
        QString baseUrl;
        QString projectFolder;
        tAccountObj account;
        QString charsetName;
    };

    explicit MessagePreparer(Setup setup);
    ~MessagePreparer();
    // Everything from the open project and its account. The project's table
    // must outlive the preparer.
    MessagePreparer(const Project &project, const tAccountObj &account);

    [[nodiscard]] const Setup &setup() const { return m_setup; }

    // Tests fix the content IDs with a seed and the Message-Id tag.
    void setRandomSeed(quint32 seed) { m_contentIds.reseed(seed); }
    void setMessageIdSource(const MessageIdSource &ids) { m_ids = ids; }

    // Merges `text` with one record row.
    [[nodiscard]] QString merge(const QString &text, int row) const;

    // The message of record row `row`, prepared at `now`.
    [[nodiscard]] PreparedMessage prepare(int row, const QDateTime &now = QDateTime::currentDateTime());

    // The picture references of the HTML body that are sent as plain
    // references, each once with the reason (PictureScan::warnings). The
    // pictures are looked for once, in the HTML template as written: merged
    // values never become pictures.
    [[nodiscard]] const QStringList &pictureWarnings() const { return m_pictureWarnings; }

    // What was taken out of the HTML template as active content
    // (RemoveActiveContent), once per run: the messages never carry it.
    [[nodiscard]] const QMap<QString, int> &removedFromTemplate() const { return m_removedFromTemplate; }
    // What merged values made into active content and was taken out of
    // the messages prepared so far (a value merged into a tag, such as an
    // address column in href="[Column#3]" holding a "javascript:" one).
    [[nodiscard]] const QMap<QString, int> &removedFromValues() const { return m_removedFromValues; }

private:
    [[nodiscard]] bool valuesMayMakeActiveContent() const;

    Setup m_setup;
    QList<QStringList> m_fieldForms;
    SenderIdentity m_sender;
    ContentIdSource m_contentIds;
    QString m_contentIdDomain;
    MessageIdSource m_ids;
    ExtraHeaders m_headers;
    QString m_contentType;
    TMimeChar m_mimeChar;
    std::unique_ptr<MergeTemplate> m_subject;
    std::unique_ptr<MergeTextLines> m_plainText;
    std::unique_ptr<MergeTemplate> m_html; // its slots are the pictures
    QStringList m_pictureFiles;
    QStringList m_pictureWarnings;
    QMap<QString, int> m_removedFromTemplate;
    QMap<QString, int> m_removedFromValues;
    // The columns merged inside tags of the HTML template: a message whose
    // value there holds ":" or "=" is cleaned again once merged. With a
    // field right after a "<" every message is.
    std::vector<int> m_tagColumns;
    bool m_cleanEveryMessage = false;
    std::vector<int> m_rowColumns; // the columns any template names
    QStringList m_cells;     // of the row being prepared, by column
    QStringList m_htmlCells; // the same, HTML-escaped
};

} // namespace varnholt
