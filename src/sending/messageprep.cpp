#include "sending/messageprep.h"

#include "mime/encodings.h"
#include "sending/activecontent.h"
#include "project/listtable.h"
#include "project/project.h"
#include "sending/inlinepictures.h"
#include "sending/mailmerge.h"
#include "settings/fields.h"
#include "settings/helpers.h"

#include <QFileInfo>

#include <algorithm>
#include <optional>

namespace varnholt {

namespace {

// A header value never carries a line break: a merged value with CR or LF
// would otherwise start a header line of its own.
QString oneLine(QString text)
{
    for (QChar &c : text) {
        if (c == u'\r' || c == u'\n')
            c = u' ';
    }
    return text;
}

QString existingFile(const QString &path)
{
    if (path.isEmpty())
        return {};
    return QFileInfo(path).isFile() ? path : FindFileNoCase(path);
}

QString readTemplate(const QString &path)
{
    QString text;
    ReadTextFile(path, text); // a missing file leaves the template empty
    return text;
}

} // namespace

MessageTemplates MessageTemplates::fromProject(const Project &project)
{
    MessageTemplates t;
    t.subject = project.settings().Subject;
    t.plainText = readTemplate(project.plainTextFile());
    t.htmlMode = project.settings().Html && QFileInfo(project.htmlFile()).isFile();
    if (t.htmlMode)
        t.html = readTemplate(project.htmlFile());
    return t;
}

SenderIdentity SenderIdentity::fromAccount(const tAccountObj &account)
{
    SenderIdentity s;
    s.address = !account.ReturnAddress.isEmpty() ? account.ReturnAddress
                                                  : account.UserID + u'@' + account.PopServer;
    if (!account.Name.isEmpty())
        s.name = u'"' + account.Name + u'"';
    return s;
}

SmtpSessionSettings SmtpSessionSettings::from(const tAccountObj &account, const TIniInfo &project)
{
    SmtpSessionSettings s;
    s.server = account.SMTPServer;
    s.port = quint16(std::clamp(account.SMTPPort, 0, 65535));
    s.auth = account.Authen;
    s.user = account.AuName;
    s.password = account.auPsw;
    s.heloDef = project.DefaultHelo;
    s.heloTxt = project.TextHelo;
    s.timeoutSeconds = project.TimeOut;
    s.security = account.Security;
    s.pipelining = !account.NoPipelining;
    return s;
}

QString MessageCharsetName(const TIniInfo &project)
{
    return project.CharSet.isEmpty() ? QStringLiteral("us_ascii") : CharsetOfEntry(project.CharSet);
}

MessageIdSource::MessageIdSource()
    : m_tag(QRandomGenerator::system()->generate())
{
}

QString MessageIdSource::next(const QDateTime &now, const QString &domain, const QString &fallbackDomain)
{
    QString right = domain.trimmed();
    if (right.isEmpty())
        right = fallbackDomain.trimmed();
    if (right.isEmpty())
        right = QStringLiteral("localhost");
    ++m_count;
    if (!m_prefixSecond.advanceTo(now)) {
        m_prefix = u'<' + now.toString(QStringLiteral("yyyyMMddHHmmss")) + u'.'
            + QStringLiteral("%1").arg(m_tag, 8, 16, QChar(u'0')).toUpper() + u'.';
    }
    return m_prefix + QString::number(m_count) + QStringLiteral(".23w9r9A@") + right + u'>';
}

ExtraHeaders::ExtraHeaders(const tAccountObj &account)
    : m_xMailer(QString::fromUtf16(kXMailer))
    , m_domain(account.MailDomain)
{
    if (!account.ReturnAddress.isEmpty())
        m_replyTo = QStringLiteral("Reply-To: ") + account.ReplyTo;
    const QString sender = SenderIdentity::fromAccount(account).address;
    m_fallbackDomain = sender.mid(sender.lastIndexOf(u'@') + 1);
}

QStringList ExtraHeaders::lines(const QDateTime &now, MessageIdSource &ids)
{
    if (!m_dateSecond.advanceTo(now))
        m_dateLine = QStringLiteral("Date: ") + QString::fromLatin1(MailDate(now));
    QStringList lines;
    lines.reserve(4);
    lines.append(m_dateLine);
    if (!m_replyTo.isEmpty())
        lines.append(m_replyTo);
    lines.append(m_xMailer);
    lines.append(QStringLiteral("Message-Id: ") + ids.next(now, m_domain, m_fallbackDomain));
    return lines;
}

QStringList ExtraHeaderLines(const tAccountObj &account, const QDateTime &now, MessageIdSource &ids)
{
    return ExtraHeaders(account).lines(now, ids);
}

QStringList RecipientAttachments(const QString &attachmentCell, const QStringList &projectAttachments)
{
    QStringList files;
    if (const QString own = existingFile(attachmentCell); !own.isEmpty())
        files.append(own);
    for (const QString &path : projectAttachments) {
        if (const QString found = existingFile(path); !found.isEmpty())
            files.append(found);
    }
    return files;
}

MimeInputs PreparedMessage::withRecipient() const
{
    MimeInputs in = inputs;
    in.ListTo.prepend(toAddress + u'|' + toName);
    return in;
}

MessagePreparer::MessagePreparer(Setup setup)
    : m_setup(std::move(setup))
    , m_sender(SenderIdentity::fromAccount(m_setup.account))
    , m_contentIdDomain(ContentIdDomain(m_setup.account.MailDomain))
    , m_headers(m_setup.account)
    , m_contentType(m_setup.templates.htmlMode ? QStringLiteral("text/html") : QStringLiteral("text/plain"))
    , m_mimeChar(CharsetFromName(m_setup.charsetName))
{
    for (const QString &title : m_setup.titles)
        m_fieldForms.append(MergeFieldForms(title));
    const MessageTemplates &t = m_setup.templates;
    m_subject = std::make_unique<MergeTemplate>(t.subject, m_fieldForms);
    m_plainText = std::make_unique<MergeTextLines>(t.plainText, m_fieldForms);

    // The pictures come from the template as the user wrote it, once per
    // run. Merged values are data: none of them may name a local file that
    // would then go out to the recipient.
    std::vector<TextRange> pictureSlots;
    if (t.htmlMode) {
        // Scripts, frames, forms and the like never go out. What is left
        // is what the pictures are looked for in.
        ActiveContentCleanup cleanup = RemoveActiveContent(t.html);
        m_setup.templates.html = std::move(cleanup.html);
        m_removedFromTemplate = std::move(cleanup.removed);

        InlinePictureContext context;
        context.baseUrl = m_setup.baseUrl;
        context.projectFolder = m_setup.projectFolder;
        const MergeTemplate fields(t.html, m_fieldForms);
        for (const TextRange &tag : cleanup.tagsWithAttributes) {
            const bool afterBracket = t.html.at(tag.start) == u'<' && tag.end - tag.start == 2;
            const size_t before = m_tagColumns.size();
            fields.addColumnsIn(afterBracket ? tag.start + 1 : tag.start, tag.end, m_tagColumns);
            m_cleanEveryMessage = m_cleanEveryMessage || (afterBracket && m_tagColumns.size() > before);
        }
        std::sort(m_tagColumns.begin(), m_tagColumns.end());
        m_tagColumns.erase(std::unique(m_tagColumns.begin(), m_tagColumns.end()), m_tagColumns.end());
        PictureScan scan = FindPictures(t.html, context, [&fields](qsizetype start, qsizetype end) {
            return fields.hasFieldIn(start, end);
        });
        for (const PictureReference &p : scan.pictures) {
            m_pictureFiles.append(p.file);
            pictureSlots.push_back({p.start, p.end});
        }
        m_pictureWarnings = std::move(scan.warnings);
    }
    m_html = std::make_unique<MergeTemplate>(t.htmlMode ? t.html : QString(), m_fieldForms, pictureSlots);

    for (const std::vector<int> *columns : {&m_subject->columns(), &m_plainText->columns(), &m_html->columns()})
        m_rowColumns.insert(m_rowColumns.end(), columns->cbegin(), columns->cend());
    std::sort(m_rowColumns.begin(), m_rowColumns.end());
    m_rowColumns.erase(std::unique(m_rowColumns.begin(), m_rowColumns.end()), m_rowColumns.end());
    m_cells.resize(m_fieldForms.size());
    m_htmlCells.resize(m_fieldForms.size());
}

MessagePreparer::~MessagePreparer() = default;

namespace {
MessagePreparer::Setup setupOf(const Project &project, const tAccountObj &account)
{
    MessagePreparer::Setup s;
    const TIniInfo &info = project.settings();
    const ListTable &table = project.table();
    s.templates = MessageTemplates::fromProject(project);
    s.titles = table.titles();
    s.table = &table;
    s.emailColumn = info.Column;
    s.attachmentColumn = clampAttachmentColumn(info.ColumnA, table.columnCount()) - 1;
    for (const ProjectAttachment &a : project.attachments())
        s.projectAttachments.append(a.fullPath);
    s.baseUrl = info.BaseUrl;
    s.projectFolder = project.folder();
    s.account = account;
    s.charsetName = MessageCharsetName(info);
    return s;
}
} // namespace

MessagePreparer::MessagePreparer(const Project &project, const tAccountObj &account)
    : MessagePreparer(setupOf(project, account))
{
}

bool MessagePreparer::valuesMayMakeActiveContent() const
{
    // Merged values are escaped: they open no tag and leave no attribute
    // value. Inside a tag they can still name an attribute ("onclick=...")
    // or a script address, and neither comes without ":" or "=".
    if (m_cleanEveryMessage)
        return true;
    return std::any_of(m_tagColumns.cbegin(), m_tagColumns.cend(), [this](int column) {
        const QString &value = m_cells[column];
        return value.contains(u':') || value.contains(u'=');
    });
}

QString MessagePreparer::merge(const QString &text, int row) const
{
    return MergeFields(text, m_fieldForms, [this, row](int column) { return m_setup.table->cell(row, column); });
}

PreparedMessage MessagePreparer::prepare(int row, const QDateTime &now)
{
    const Setup &s = m_setup;
    PreparedMessage message;
    message.row = row;
    message.toAddress = s.table->cell(row, s.emailColumn);
    for (int column : m_rowColumns)
        m_cells[column] = s.table->cell(row, column);

    MimeInputs &in = message.inputs;
    in.FROM_Address = m_sender.address;
    if (!m_sender.name.isEmpty())
        in.FROM_Name = m_sender.name;
    in.Charset = s.charsetName;
    in.MimeChar = m_mimeChar;
    const bool html = s.templates.htmlMode;
    in.TypeContent = html ? tcHtml : tcPlain;
    in.Content_Type = m_contentType;
    in.Headers = m_headers.lines(now, m_ids);

    // Each text is measured before it is made; the first that would be too
    // long ends the row.
    const auto tooLarge = [&message] {
        message.error = QString::fromUtf16(kMergedTooLarge);
        return message;
    };
    std::optional<QStringList> text = m_plainText->join(m_cells);
    if (!text)
        return tooLarge();
    in.MailText = std::move(*text);
    const std::optional<QString> subject = m_subject->join(m_cells);
    if (!subject)
        return tooLarge();
    in.Subject = oneLine(*subject);
    in.Attachments = RecipientAttachments(
        s.attachmentColumn >= 0 ? s.table->cell(row, s.attachmentColumn) : QString(), s.projectAttachments);
    if (html) {
        for (int column : m_html->columns())
            m_htmlCells[column] = EscapeHtml(m_cells[column]);
        // Every message gets content IDs of its own.
        const QStringList cids = m_contentIds.next(int(m_pictureFiles.size()), m_contentIdDomain);
        QStringList references;
        references.reserve(cids.size());
        for (const QString &cid : cids)
            references.append(QStringLiteral("cid:") + cid);
        std::optional<QString> body = m_html->join(m_htmlCells, references);
        if (!body)
            return tooLarge();
        if (valuesMayMakeActiveContent()) {
            ActiveContentCleanup cleanup = RemoveActiveContent(*body);
            if (cleanup.changed()) {
                AddRemovedContent(m_removedFromValues, cleanup.removed);
                body = std::move(cleanup.html);
            }
        }
        in.HtmlText = SplitTextLines(*body);
        in.HtmlFiles = m_pictureFiles;
        in.HtmlCids = cids;
    }
    return message;
}

} // namespace varnholt
