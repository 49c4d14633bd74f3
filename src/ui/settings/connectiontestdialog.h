#pragma once

#include "mailclient/connectiontest.h"

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// "Test connection" of the preferences window: runs a ConnectionTest on the
// account as it stands in the window and shows the protocol trace while it
// grows, then the verdict in plain words. Nothing is sent and nothing is
// saved.
namespace varnholt {

class TMsgLanguage;

class TConnectionTestDialog : public QDialog
{
    Q_OBJECT
public:
    explicit TConnectionTestDialog(QWidget *parent = nullptr);

    // Starts a test (a running one is stopped first).
    void start(const ConnectionTest::Settings &settings);

    [[nodiscard]] ConnectionTest &test() { return m_test; }
    [[nodiscard]] QLabel *verdictLabel() const { return m_verdict; }
    [[nodiscard]] QPlainTextEdit *traceView() const { return m_trace; }
    [[nodiscard]] QPushButton *stopButton() const { return m_stop; }

protected:
    void done(int result) override;

private:
    void showTrace();
    void showVerdict(bool passed);
    void showStartLine();

    TMsgLanguage *m_msl;
    ConnectionTest m_test;
    QLabel *m_verdict = nullptr;
    QPlainTextEdit *m_trace = nullptr;
    QPushButton *m_stop = nullptr;
    QPushButton *m_again = nullptr;
    ConnectionTest::Settings m_settings;
    bool m_restartPending = false;
};

} // namespace varnholt
