#pragma once

#include <QString>
#include <QUrl>
#include <QWebEnginePage>

#include <functional>
#include <memory>

// The browser page of the HTML editor. The edited document is a mail body
// the user may have taken from anywhere, so the page treats it as hostile:
// none of its scripts run (the editor's own scripts run in a world of
// their own, which the setting does not reach), it can reach no address on
// the network and no local file outside the project's folder, and it
// cannot navigate anywhere by itself (meta refresh, links, forms, frames).
// Only the documents the editor opens are shown.
namespace varnholt {

// Whether the editor's document may load `url` as a part of itself (a
// picture, a style sheet, a frame): a file: address whose cleaned absolute
// path lies inside `projectFolder` (pictures are copied into the picture
// folder below it), or an address that names no place outside the page
// (qrc:, data:, blob:, about:). Other local files and every network
// address are refused; so is every file: address while there is no
// absolute project folder.
[[nodiscard]] bool EditorMayLoad(const QUrl &url, const QString &projectFolder);

class EditorPage : public QWebEnginePage
{
    Q_OBJECT
public:
    // `projectFolder` tells the open project's folder when asked: it moves
    // when the project is saved elsewhere.
    EditorPage(std::function<QString()> projectFolder, QObject *parent = nullptr);
    ~EditorPage() override;

    // The editor's own navigations, the only ones the page follows: a
    // document (N.htm, an imported file) and an HTML text placed at
    // `baseUrl`.
    void openDocument(const QUrl &url);
    void openHtml(const QString &html, const QUrl &baseUrl);

    // The rule the page's requests are judged by: a main-frame load of the
    // document the editor opened, or EditorMayLoad().
    [[nodiscard]] bool mayLoad(const QUrl &url, bool mainFrame) const;

signals:
    // One of the editor's navigations was let through: the present
    // document is about to go. (A refused navigation is started and
    // finished as well, loadFinished(false), and leaves the document be.)
    void navigationAccepted();
    // A request or a navigation of the document was refused.
    void requestBlocked(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;

private:
    class RequestGuard;

    std::function<QString()> m_projectFolder;
    std::unique_ptr<RequestGuard> m_guard;
    QUrl m_document;         // the document the editor opened last
    bool m_htmlText = false; // ... given as text (loaded as a data: address)
};

} // namespace varnholt
