#pragma once

#include "sending/messageprep.h"
#include "ui/project/receivedmessage.h"

#include <QTextBrowser>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTemporaryFile;

// The preview of one list row's message, exactly as a run (and
// `varnholt-cli preview`) makes it: MessagePreparer merges the row, the
// message is written by WriteMessageFile, and what the window shows is read
// back from those bytes: the header fields, the plain text, the HTML with
// its inline pictures, the attachments, and the whole source. "Send test"
// sends the same message to the account's own address.
namespace varnholt {

class Project;
class TestMessageSender;
class TMsgLanguage;
class TNewMod2MessageForm;

// Shows HTML without running anything and without fetching anything: the
// only resources it loads are the message's own pictures, by their "cid:"
// addresses. Links do not open.
class MessageHtmlView : public QTextBrowser
{
    Q_OBJECT
public:
    explicit MessageHtmlView(QWidget *parent = nullptr);

    void setMessage(const ReceivedMessage *message) { m_message = message; }
    QVariant loadResource(int type, const QUrl &name) override;
    // The pictures of the page that are not the message's own (remote and
    // local addresses, unknown content IDs), each once, in page order:
    // the preview shows none of them.
    [[nodiscard]] QStringList foreignPictures() const;

private:
    [[nodiscard]] const ReceivedPart *ownPicture(const QUrl &name) const;

    const ReceivedMessage *m_message = nullptr;
};

class TMessagePreview : public QWidget
{
    Q_OBJECT
public:
    // The templates as the project window holds them, saved or not.
    using TemplateSource = std::function<MessageTemplates()>;

    // `project` and `accounts` must outlive the window. The project's
    // "NConnect" chooses the account, as for a run.
    TMessagePreview(Project &project, const tAccounts &accounts, TemplateSource templates,
                    QWidget *parent = nullptr);
    ~TMessagePreview() override;

    // Prepares and shows the message of record row `row` (0-based, clamped
    // to the list).
    void showRow(int row);
    // Prepares the shown row afresh and sends it to the account's own
    // address; the status line tells how it went.
    void sendTest();

    [[nodiscard]] int row() const { return m_row; }
    [[nodiscard]] const ReceivedMessage &message() const { return m_received; }
    // The message file as written (what the server would receive).
    [[nodiscard]] QString messageFile() const;
    [[nodiscard]] qint64 messageSize() const { return m_messageSize; }
    // Texts about the message: what a run also warns about (a row without
    // an address, pictures sent as references, active content removed),
    // empty when there is nothing to say.
    [[nodiscard]] QString notice() const;
    [[nodiscard]] QString status() const;

    // The widgets, for the tests and the screenshot tool.
    [[nodiscard]] QSpinBox *rowBox() const { return m_rowBox; }
    [[nodiscard]] QTabWidget *pages() const { return m_pages; }
    [[nodiscard]] QLabel *headerLabel() const { return m_headers; }
    [[nodiscard]] MessageHtmlView *htmlView() const { return m_html; }
    [[nodiscard]] QPlainTextEdit *plainView() const { return m_plain; }
    [[nodiscard]] QListWidget *attachmentList() const { return m_attachments; }
    [[nodiscard]] QPlainTextEdit *sourceView() const { return m_source; }
    [[nodiscard]] QPushButton *sendTestButton() const { return m_sendTest; }
    [[nodiscard]] TestMessageSender &testSender() { return *m_sender; }
    [[nodiscard]] TMsgLanguage &messages() const { return *m_msl; }

    // Where the Source page stops: a message with large attachments is
    // shown up to here.
    static constexpr qint64 kSourceShown = 1024 * 1024;

signals:
    // A test message went (accepted or not).
    void testFinished(bool accepted);

private:
    // A notice as its message and values, so that it can be worded again
    // in another language; `text` -1 is a text of its own in values[0].
    struct Notice {
        int text;
        QStringList values;
    };

    void buildWidgets();
    [[nodiscard]] const tAccountObj &account() const;
    [[nodiscard]] bool prepare(int row);
    void showMessage();
    // Everything the window words from its message list.
    void applyTexts();
    [[nodiscard]] QString noticeText(const Notice &notice) const;
    void testDone(bool accepted, const QString &text);
    void setStatus(const QString &text, bool failure = false);

    TMsgLanguage *m_msl;
    Project &m_project;
    const tAccounts &m_accounts;
    TemplateSource m_templates;
    int m_row = 0;
    PreparedMessage m_prepared;
    std::unique_ptr<QTemporaryFile> m_file;
    qint64 m_messageSize = 0;
    ReceivedMessage m_received;
    QList<Notice> m_notices;
    QStringList m_foreignPictures;
    // The Source page's closing remark on what it leaves out: where it
    // starts in the page (-1: none), the bytes not shown, the whole size.
    int m_sourceNoteAt = -1;
    bool m_rowShown = false; // the title and the address line name a row
    qint64 m_sourceLeftOut = 0;
    TestMessageSender *m_sender = nullptr;

    QSpinBox *m_rowBox = nullptr;
    QLabel *m_address = nullptr;
    QPushButton *m_sendTest = nullptr;
    QLabel *m_notice = nullptr;
    QLabel *m_headers = nullptr;
    QTabWidget *m_pages = nullptr;
    MessageHtmlView *m_html = nullptr;
    QPlainTextEdit *m_plain = nullptr;
    QListWidget *m_attachments = nullptr;
    QPlainTextEdit *m_source = nullptr;
    QLabel *m_status = nullptr;
};

// The project window's message templates as they stand in its boxes: the
// subject box, the plain text editor, and the HTML editor's document when
// it differs from N.htm; what is not edited comes from the files, as
// MessageTemplates::fromProject reads them.
[[nodiscard]] MessageTemplates WindowTemplates(TNewMod2MessageForm &form);

// The project window's "Preview" and "Send test": its preview window (made
// on first use, closed with it) on the grid's current row.
TMessagePreview *OpenMessagePreview(TNewMod2MessageForm &form);
void SendTestMessage(TNewMod2MessageForm &form);

} // namespace varnholt
