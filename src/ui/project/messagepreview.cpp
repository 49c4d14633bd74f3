#include "messagepreview.h"

#include "newmod2messageform.h"
#include "testmessage.h"

#include "project/listtable.h"
#include "project/project.h"
#include "sending/activecontent.h"
#include "sending/messagefile.h"
#include "sending/recipientaddress.h"
#include "sending/sendingtexts.h"
#include "settings/syscharset.h"
#include "ui/common/msglanguage.h"
#include "ui/htmleditor/htmleditor.h"
#include "ui/htmleditor/htmlfragments.h"

#include <QDir>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStringDecoder>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

namespace varnholt {

namespace {

enum Message {
    msgTitle, msgRowOf, msgHtmlPage, msgPlainPage, msgAttachmentsPage, msgAttachmentsCounted, msgSourcePage,
    msgHtmlName, msgPlainName, msgAttachmentsName, msgSourceName, msgNoName, msgAttachment, msgPicture,
    msgNoAddress, msgRowError, msgNotWritten, msgSourceCut, msgForeignPictures, msgNotPrepared, msgSendingTest,
    msgSenderTexts // the test sender's texts from here on
};

QStringList defaultMessages()
{
    return QStringList{
               QStringLiteral("Preview - %1 - row %2"),
               QStringLiteral("of %1, to %2"),
               QStringLiteral("&HTML"),
               QStringLiteral("&Plain text"),
               QStringLiteral("&Attachments"),
               QStringLiteral("&Attachments (%1)"),
               QStringLiteral("S&ource"),
               QStringLiteral("HTML body"),
               QStringLiteral("Plain text body"),
               QStringLiteral("Attachments"),
               QStringLiteral("Message source"),
               QStringLiteral("(no name)"),
               QStringLiteral("%1    %2, %3"),
               QStringLiteral("%1    %2, %3, inline picture <%4>"),
               QStringLiteral("Row %1 has no e-mail address (\"%2\"); a run skips it."),
               QStringLiteral("Row %1: %2"),
               QStringLiteral("The message could not be written to \"%1\": %2"),
               QStringLiteral("[... %1 more of the message's %2 not shown ...]"),
               QStringLiteral("Pictures not shown in the preview (the recipient's program may fetch them): %1"),
               QStringLiteral("The test message was not sent: the message could not be prepared."),
               QStringLiteral("Sending the test message to %1 ..."),
           }
           + TestMessageSender::defaultTexts();
}

// `pattern` with its %1, %2, ... filled at once, so that a value holding
// "%2" stays as it is.
QString filled(const QString &pattern, const QStringList &values)
{
    switch (values.size()) {
    case 0:
        return pattern;
    case 1:
        return pattern.arg(values[0]);
    case 2:
        return pattern.arg(values[0], values[1]);
    case 3:
        return pattern.arg(values[0], values[1], values[2]);
    default:
        return pattern.arg(values[0], values[1], values[2], values[3]);
    }
}

// The header fields the preview shows above the bodies; the rest is on the
// Source page.
constexpr const char16_t *kShownFields[] = {u"From", u"To", u"cc", u"Reply-To", u"Subject", u"Date"};

QString sizeText(qint64 bytes)
{
    return QLocale::system().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

// Source bytes as text: UTF-8 when they are (8-bit message text), else
// Latin-1, so that every byte shows as something.
QString sourceText(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        text = QString::fromLatin1(bytes);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}

} // namespace

// ---- the HTML view -------------------------------------------------------------

MessageHtmlView::MessageHtmlView(QWidget *parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
}

const ReceivedPart *MessageHtmlView::ownPicture(const QUrl &name) const
{
    if (!m_message || name.scheme().compare(u"cid", Qt::CaseInsensitive) != 0)
        return nullptr;
    return m_message->picture(name.path().toUtf8());
}

QVariant MessageHtmlView::loadResource(int type, const QUrl &name)
{
    // Only the message's own pictures: a remote address would tell its
    // server that the preview was opened, and a local file is not part of
    // what the recipient gets.
    if (type == QTextDocument::ImageResource) {
        if (const ReceivedPart *part = ownPicture(name)) {
            QImage image;
            if (image.loadFromData(part->data))
                return image;
        }
    }
    return {};
}

QStringList MessageHtmlView::foreignPictures() const
{
    QStringList names;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (!format.isImageFormat())
                continue;
            const QString name = format.toImageFormat().name();
            if (!ownPicture(QUrl(name)) && !names.contains(name))
                names << name;
        }
    }
    return names;
}

// ---- the window ----------------------------------------------------------------

TMessagePreview::TMessagePreview(Project &project, const tAccounts &accounts, TemplateSource templates,
                                 QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_msl(new TMsgLanguage(QStringLiteral("TMessagePreview"), defaultMessages(), this))
    , m_project(project)
    , m_accounts(accounts)
    , m_templates(std::move(templates))
    , m_sender(new TestMessageSender(this))
{
    setObjectName(QStringLiteral("TMessagePreview"));
    setProperty("translate", false); // the title names the project and the row
    buildWidgets();
    connect(m_sender, &TestMessageSender::progress, this, [this](const QString &text) { setStatus(text); });
    connect(m_sender, &TestMessageSender::finished, this, &TMessagePreview::testDone);
    resize(820, 640);
    applyTexts();
    connect(m_msl, &TMsgLanguage::changed, this, &TMessagePreview::applyTexts);
    TranslationRegistry::instance().announce(this, m_msl);
}

TMessagePreview::~TMessagePreview() = default;

void TMessagePreview::buildWidgets()
{
    m_rowBox = new QSpinBox(this);
    m_rowBox->setObjectName(QStringLiteral("sbRow"));
    m_rowBox->setMinimum(1);
    auto *rowLabel = new QLabel(QStringLiteral("&Row:"), this);
    rowLabel->setBuddy(m_rowBox);
    m_address = new QLabel(this);
    m_address->setObjectName(QStringLiteral("lbAddress"));
    m_address->setProperty("translate", false); // the row's address
    m_address->setTextFormat(Qt::PlainText);
    connect(m_rowBox, &QSpinBox::valueChanged, this, [this](int value) {
        if (value - 1 != m_row)
            showRow(value - 1);
    });

    auto *refresh = new QPushButton(QStringLiteral("Re&fresh"), this);
    refresh->setObjectName(QStringLiteral("btRefresh"));
    refresh->setToolTip(QStringLiteral("Prepare the message again from the project as it is now"));
    connect(refresh, &QPushButton::clicked, this, [this] { showRow(m_row); });
    m_sendTest = new QPushButton(QStringLiteral("&Send test"), this);
    m_sendTest->setObjectName(QStringLiteral("btSendTest"));
    m_sendTest->setToolTip(QStringLiteral("Send this message to the account's own address"));
    connect(m_sendTest, &QPushButton::clicked, this, &TMessagePreview::sendTest);
    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("btClose"));
    connect(close, &QPushButton::clicked, this, &QWidget::close);

    auto *bar = new QHBoxLayout;
    bar->addWidget(rowLabel);
    bar->addWidget(m_rowBox);
    bar->addWidget(m_address, 1);
    bar->addWidget(refresh);
    bar->addWidget(m_sendTest);
    bar->addWidget(close);

    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("lbNotice"));
    m_notice->setProperty("translate", false); // worded from the message list
    m_notice->setTextFormat(Qt::PlainText);
    m_notice->setWordWrap(true);
    m_notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_notice->setStyleSheet(
        QStringLiteral("QLabel { background: #fff4ce; color: #3b2f00; border: 1px solid #e0c060; padding: 4px; }"));
    m_notice->hide();

    m_headers = new QLabel(this);
    m_headers->setObjectName(QStringLiteral("lbHeaders"));
    m_headers->setProperty("translate", false); // the message's own fields
    m_headers->setTextFormat(Qt::RichText);
    m_headers->setWordWrap(true);
    m_headers->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_html = new MessageHtmlView(this);
    m_html->setObjectName(QStringLiteral("htmlView"));
    m_html->setTabChangesFocus(true);
    m_plain = new QPlainTextEdit(this);
    m_plain->setObjectName(QStringLiteral("plainView"));
    m_plain->setReadOnly(true);
    m_plain->setTabChangesFocus(true);
    m_attachments = new QListWidget(this);
    m_attachments->setObjectName(QStringLiteral("attachmentList"));
    m_source = new QPlainTextEdit(this);
    m_source->setObjectName(QStringLiteral("sourceView"));
    m_source->setReadOnly(true);
    m_source->setTabChangesFocus(true);
    m_source->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_source->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    m_pages = new QTabWidget(this);
    m_pages->setObjectName(QStringLiteral("pages"));
    // The pages hold the message; their tab texts and names come from the
    // message list (the attachments' tab counts them).
    m_pages->setProperty("translate", false);
    m_pages->addTab(m_html, QString());
    m_pages->addTab(m_plain, QString());
    m_pages->addTab(m_attachments, QString());
    m_pages->addTab(m_source, QString());

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("lbStatus"));
    m_status->setProperty("translate", false); // how the test message went
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(m_notice);
    layout->addWidget(m_headers);
    layout->addWidget(m_pages, 1);
    layout->addWidget(m_status);
}

const tAccountObj &TMessagePreview::account() const
{
    // The project's account, as a run chooses it.
    static const tAccountObj none;
    int index = m_project.settings().NConnect;
    if (index < 0 || index >= m_accounts.count())
        index = 0;
    const tAccountObj *chosen = m_accounts.item(index);
    return chosen ? *chosen : none;
}

QString TMessagePreview::messageFile() const
{
    return m_file ? m_file->fileName() : QString();
}

QString TMessagePreview::notice() const
{
    QStringList texts;
    for (const Notice &n : m_notices)
        texts << noticeText(n);
    if (!m_foreignPictures.isEmpty())
        texts << filled(m_msl->text(msgForeignPictures), {m_foreignPictures.join(QStringLiteral(", "))});
    return texts.join(u'\n');
}

QString TMessagePreview::noticeText(const Notice &notice) const
{
    return notice.text < 0 ? notice.values.value(0) : filled(m_msl->text(notice.text), notice.values);
}

QString TMessagePreview::status() const
{
    return m_status->text();
}

bool TMessagePreview::prepare(int row)
{
    const ListTable &table = m_project.table();
    m_row = std::clamp(row, 0, std::max(0, table.rowCount() - 1));
    m_notices.clear();
    m_foreignPictures.clear();
    m_sourceNoteAt = -1;
    m_file.reset();
    m_messageSize = 0;
    m_received = ReceivedMessage();

    const tAccountObj &sender = account();
    // The project's own setup, as a run makes it, with the templates as
    // the window holds them. They are read afresh, not taken from that
    // setup: a preparer keeps its copy cleaned of active content, and what
    // it takes out is told below.
    MessagePreparer::Setup setup = MessagePreparer(m_project, sender).setup();
    setup.templates = m_templates ? m_templates() : MessageTemplates::fromProject(m_project);
    // The row alone, its address cleaned as "Send Mailing List" cleans the
    // column before a run; the project's table stays as it is.
    ListTable single;
    single.setColumnCount(std::max(1, table.columnCount()));
    for (int column = 0; column < table.columnCount(); ++column)
        single.setCellBytes(0, column, table.cellBytes(m_row, column));
    single.normaliseAddresses(setup.emailColumn);
    setup.table = &single;
    MessagePreparer preparer(std::move(setup));
    m_prepared = preparer.prepare(0);
    m_prepared.row = m_row;

    const QString address = single.cell(0, preparer.setup().emailColumn);
    const QString rowNumber = QString::number(m_row + 1);
    if (!IsSendableAddress(address))
        m_notices << Notice{msgNoAddress, {rowNumber, address}};
    if (!m_prepared.error.isEmpty()) {
        m_notices << Notice{msgRowError, {rowNumber, m_prepared.error}};
        return false;
    }
    // What a run tells in the sending window's words.
    if (!preparer.pictureWarnings().isEmpty())
        m_notices << Notice{
            -1, {NoticeText({RunNotice::Kind::PicturesNotInline, {}, preparer.pictureWarnings().join(u'\n')}).text}};
    QMap<QString, int> removed = preparer.removedFromTemplate();
    AddRemovedContent(removed, preparer.removedFromValues());
    if (!removed.isEmpty())
        m_notices << Notice{-1,
                            {NoticeText({RunNotice::Kind::ActiveContentRemoved, {}, RemovedContentText(removed)}).text}};

    // Written piece by piece as a session sends it: a large attachment
    // never sits in memory whole.
    auto file = std::make_unique<QTemporaryFile>(QDir::temp().filePath(QStringLiteral("varnholt-preview-XXXXXX.eml")));
    const bool written = file->open() && WriteMessageFile(m_prepared.withRecipient(), [&file](QByteArrayView piece) {
        return file->write(piece.data(), piece.size()) == piece.size();
    }) && file->flush();
    if (!written) {
        m_notices << Notice{msgNotWritten, {file->fileName(), file->errorString()}};
        return false;
    }
    m_messageSize = file->size();
    uchar *mapped = m_messageSize > 0 ? file->map(0, m_messageSize) : nullptr;
    QByteArray copy;
    if (!mapped && m_messageSize > 0) {
        file->seek(0);
        copy = file->readAll();
    }
    const QByteArrayView bytes = mapped ? QByteArrayView(mapped, m_messageSize) : QByteArrayView(copy);
    m_received = ReceivedMessage::read(bytes);
    // A long message is shown up to a line end, so that no character is
    // cut in two.
    QByteArrayView shown = bytes.first(std::min<qint64>(bytes.size(), kSourceShown));
    if (shown.size() < bytes.size())
        shown = shown.first(shown.lastIndexOf('\n') + 1);
    m_source->setPlainText(sourceText(shown));
    if (shown.size() < bytes.size()) {
        // The remark goes at the end; applyTexts() words it.
        m_sourceNoteAt = m_source->document()->characterCount() - 1;
        m_sourceLeftOut = bytes.size() - shown.size();
    }
    if (mapped)
        file->unmap(mapped);
    m_file = std::move(file);
    return true;
}

void TMessagePreview::showRow(int row)
{
    const bool ok = prepare(row);
    m_rowShown = true;
    {
        const QSignalBlocker block(m_rowBox);
        m_rowBox->setMaximum(std::max(1, m_project.table().rowCount()));
        m_rowBox->setValue(m_row + 1);
    }
    if (!ok) {
        m_received = ReceivedMessage();
        m_source->clear();
        m_sourceNoteAt = -1;
    }
    showMessage();
}

void TMessagePreview::showMessage()
{
    const ReceivedMessage &m = m_received;
    QString table = QStringLiteral("<table cellspacing=\"2\">");
    for (const char16_t *name : kShownFields) {
        const QString value = m.header(QStringView(name));
        if (value.isEmpty())
            continue;
        table += QStringLiteral("<tr><td><b>%1:</b></td><td>%2</td></tr>")
                     .arg(QString::fromUtf16(name), value.toHtmlEscaped());
    }
    table += QStringLiteral("</table>");
    m_headers->setText(table);

    m_html->setMessage(&m_received);
    m_html->setHtml(m.html);
    m_plain->setPlainText(m.plainText);

    m_foreignPictures = m_html->foreignPictures();
    applyTexts(); // the attachment list, the notices, the tab texts

    m_pages->setTabVisible(m_pages->indexOf(m_html), m.hasHtml);
    m_pages->setTabVisible(m_pages->indexOf(m_plain), m.hasPlainText);
    m_pages->setTabVisible(m_pages->indexOf(m_attachments), m_attachments->count() > 0);
    QWidget *current = m_pages->currentWidget();
    if (!current || !m_pages->isTabVisible(m_pages->indexOf(current)) || current == m_source)
        m_pages->setCurrentWidget(m.hasHtml ? static_cast<QWidget *>(m_html)
                                  : m.hasPlainText ? static_cast<QWidget *>(m_plain)
                                                   : static_cast<QWidget *>(m_source));
}

void TMessagePreview::applyTexts()
{
    m_sender->setTexts(m_msl->texts().mid(msgSenderTexts));
    const QString &projectName = m_project.name();
    if (m_rowShown) {
        setWindowTitle(filled(m_msl->text(msgTitle), {projectName, QString::number(m_row + 1)}));
        m_address->setText(
            filled(m_msl->text(msgRowOf), {QString::number(m_project.table().rowCount()), m_prepared.toAddress}));
    }

    const ReceivedMessage &m = m_received;
    const QString noName = m_msl->text(msgNoName);
    m_attachments->clear();
    for (const ReceivedPart &part : m.attachments)
        m_attachments->addItem(filled(m_msl->text(msgAttachment), {part.fileName.isEmpty() ? noName : part.fileName,
                                                                    QString::fromLatin1(part.type),
                                                                    sizeText(part.size)}));
    for (const ReceivedPart &part : m.pictures)
        m_attachments->addItem(filled(m_msl->text(msgPicture),
                                      {part.fileName.isEmpty() ? noName : part.fileName, QString::fromLatin1(part.type),
                                       sizeText(part.size), QString::fromLatin1(part.contentId)}));

    const int parts = int(m.attachments.size());
    m_pages->setTabText(m_pages->indexOf(m_html), m_msl->text(msgHtmlPage));
    m_pages->setTabText(m_pages->indexOf(m_plain), m_msl->text(msgPlainPage));
    m_pages->setTabText(m_pages->indexOf(m_attachments), parts ? m_msl->text(msgAttachmentsCounted).arg(parts)
                                                                : m_msl->text(msgAttachmentsPage));
    m_pages->setTabText(m_pages->indexOf(m_source), m_msl->text(msgSourcePage));
    m_html->setAccessibleName(m_msl->text(msgHtmlName));
    m_plain->setAccessibleName(m_msl->text(msgPlainName));
    m_attachments->setAccessibleName(m_msl->text(msgAttachmentsName));
    m_source->setAccessibleName(m_msl->text(msgSourceName));

    if (m_sourceNoteAt >= 0) {
        QTextCursor end(m_source->document());
        end.setPosition(m_sourceNoteAt);
        end.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        end.insertText(u'\n' + filled(m_msl->text(msgSourceCut), {sizeText(m_sourceLeftOut), sizeText(m_messageSize)}));
    }

    const QString notices = notice();
    m_notice->setText(notices);
    m_notice->setVisible(!notices.isEmpty());
}

void TMessagePreview::sendTest()
{
    if (m_sender->isBusy())
        return;
    // What goes is what the window shows, prepared afresh.
    showRow(m_row);
    if (m_file == nullptr) {
        setStatus(m_msl->text(msgNotPrepared), true);
        return;
    }
    m_sendTest->setEnabled(false);
    setStatus(m_msl->text(msgSendingTest).arg(TestMessageSender::ownAddress(account())));
    m_sender->send(m_prepared, account(), m_project.settings());
}

void TMessagePreview::testDone(bool accepted, const QString &text)
{
    m_sendTest->setEnabled(true);
    setStatus(text, !accepted);
    emit testFinished(accepted);
}

void TMessagePreview::setStatus(const QString &text, bool failure)
{
    m_status->setText(text);
    m_status->setStyleSheet(failure ? QStringLiteral("QLabel { color: #a31515; font-weight: bold; }") : QString());
}

// ---- the project window's commands -------------------------------------------

MessageTemplates WindowTemplates(TNewMod2MessageForm &form)
{
    const Project &project = form.project();
    MessageTemplates t = MessageTemplates::fromProject(project);
    t.subject = form.subjectBox()->text().left(255);
    // The editor's lines as saving writes them to N.mml: each ends with a
    // line break, and a final one makes no further line.
    QString text = form.textEditor()->toPlainText();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QStringList lines = text.split(u'\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    t.plainText = lines.isEmpty() ? QString() : lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n");
    if (form.htmlBodyChanged()) {
        // As saving would write it to N.htm.
        t.htmlMode = project.settings().Html;
        t.html = WithCharsetMeta(form.htmlEditor()->source(), QString::fromLatin1(SystemCharset::name()));
    }
    return t;
}

TMessagePreview *OpenMessagePreview(TNewMod2MessageForm &form)
{
    auto *preview = form.findChild<TMessagePreview *>(QString(), Qt::FindDirectChildrenOnly);
    if (!preview) {
        preview = new TMessagePreview(form.project(), programSettings().accounts,
                                      [&form] { return WindowTemplates(form); }, &form);
        // It goes before the project window: nothing of it (a focus change,
        // a test message on its way) may reach a window being destroyed.
        QObject::connect(&form, &TNewMod2MessageForm::closing, preview, [preview] {
            preview->testSender().cancel();
            preview->hide();
            preview->deleteLater();
        });
    }
    preview->showRow(std::max(0, form.grid()->currentIndex().row()));
    preview->show();
    preview->raise();
    preview->activateWindow();
    return preview;
}

void SendTestMessage(TNewMod2MessageForm &form)
{
    OpenMessagePreview(form)->sendTest();
}

} // namespace varnholt
