#include "ui/settings/connectiontestdialog.h"

#include "ui/common/msglanguage.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include <utility>

namespace varnholt {

namespace {

enum Message { msgLoggingInTwice = 0, msgConnecting = 1 };

} // namespace

TConnectionTestDialog::TConnectionTestDialog(QWidget *parent)
    : QDialog(parent)
    , m_msl(new TMsgLanguage(QStringLiteral("TConnectionTestDialog"),
                             {QStringLiteral("Logging in to %1:%2, then to %3:%4 ..."),
                              QStringLiteral("Connecting to %1:%2 ...")},
                             this))
{
    setObjectName(QStringLiteral("TConnectionTestDialog"));
    setWindowTitle(QStringLiteral("Test connection"));

    m_verdict = new QLabel(this);
    m_verdict->setObjectName(QStringLiteral("lbVerdict"));
    m_verdict->setProperty("translate", false); // the test's words
    m_verdict->setWordWrap(true);
    m_verdict->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_verdict->setTextFormat(Qt::PlainText);

    m_trace = new QPlainTextEdit(this);
    m_trace->setObjectName(QStringLiteral("edTrace"));
    m_trace->setProperty("translate", false); // the dialogue with the server
    m_trace->setReadOnly(true);
    m_trace->setTabChangesFocus(true);
    m_trace->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_trace->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto *traceLabel = new QLabel(QStringLiteral("Protocol &trace (passwords hidden):"), this);
    traceLabel->setBuddy(m_trace);

    m_stop = new QPushButton(QStringLiteral("&Stop"), this);
    m_stop->setObjectName(QStringLiteral("btStop"));
    connect(m_stop, &QPushButton::clicked, &m_test, &ConnectionTest::cancel);
    m_again = new QPushButton(QStringLiteral("Test &again"), this);
    m_again->setObjectName(QStringLiteral("btAgain"));
    connect(m_again, &QPushButton::clicked, this, [this] { start(m_settings); });
    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("btClose"));
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(m_stop, QDialogButtonBox::ActionRole);
    buttons->addButton(m_again, QDialogButtonBox::ActionRole);
    buttons->addButton(close, QDialogButtonBox::RejectRole);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_verdict);
    layout->addWidget(traceLabel);
    layout->addWidget(m_trace, 1);
    layout->addWidget(buttons);
    resize(640, 420);

    connect(&m_test, &ConnectionTest::traceChanged, this, &TConnectionTestDialog::showTrace);
    connect(&m_test, &ConnectionTest::finished, this, &TConnectionTestDialog::showVerdict);
    connect(m_msl, &TMsgLanguage::changed, this, [this] {
        if (m_test.isRunning() && !m_restartPending)
            showStartLine();
    });
    TranslationRegistry::instance().announce(this, m_msl);
}

void TConnectionTestDialog::start(const ConnectionTest::Settings &settings)
{
    m_test.cancel(); // its end is still reported; the new start waits for it
    m_settings = settings;
    if (m_test.isRunning()) {
        // The stopped test finishes from the event loop: start once it has.
        if (!std::exchange(m_restartPending, true))
            connect(&m_test, &ConnectionTest::finished, this, [this] {
                m_restartPending = false;
                start(m_settings);
            }, Qt::SingleShotConnection);
        return;
    }
    m_verdict->setStyleSheet(QString());
    showStartLine();
    m_stop->setEnabled(true);
    m_again->setEnabled(false);
    m_stop->setFocus();
    m_test.start(settings);
    showTrace();
}

void TConnectionTestDialog::showStartLine()
{
    const ConnectionTest::Settings &s = m_settings;
    m_verdict->setText(s.pop3First ? m_msl->text(msgLoggingInTwice)
                                         .arg(s.popServer.trimmed())
                                         .arg(s.popPort)
                                         .arg(s.smtpServer.trimmed())
                                         .arg(s.smtpPort)
                                   : m_msl->text(msgConnecting).arg(s.smtpServer.trimmed()).arg(s.smtpPort));
}

void TConnectionTestDialog::showTrace()
{
    const QString text = m_test.trace();
    if (text == m_trace->toPlainText())
        return;
    m_trace->setPlainText(text);
    m_trace->verticalScrollBar()->setValue(m_trace->verticalScrollBar()->maximum());
}

void TConnectionTestDialog::showVerdict(bool passed)
{
    showTrace();
    m_verdict->setText(m_test.verdict());
    m_verdict->setStyleSheet(passed ? QStringLiteral("QLabel { font-weight: bold; color: #1b6e20; }")
                                    : QStringLiteral("QLabel { font-weight: bold; color: #a31515; }"));
    m_stop->setEnabled(false);
    m_again->setEnabled(true);
    m_again->setFocus();
}

void TConnectionTestDialog::done(int result)
{
    // Closing ends the dialogue with the server.
    m_test.cancel();
    QDialog::done(result);
}

} // namespace varnholt
