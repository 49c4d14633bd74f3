#include "editorpage.h"

#include <QDir>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>

namespace varnholt {

namespace {

// Whether two addresses name the same document; file addresses by their
// cleaned paths, whatever the browser's way of quoting them.
bool sameDocument(const QUrl &a, const QUrl &b)
{
    if (a.isLocalFile() && b.isLocalFile())
        return QDir::cleanPath(a.toLocalFile()) == QDir::cleanPath(b.toLocalFile());
    return a == b;
}

} // namespace

bool EditorMayLoad(const QUrl &url, const QString &projectFolder)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == u"qrc" || scheme == u"data" || scheme == u"blob" || scheme == u"about")
        return true;
    // A file on another computer (file://host/...) is a network address.
    if (scheme != u"file" || !url.host().isEmpty() || !QDir::isAbsolutePath(projectFolder))
        return false;
    const QString path = url.toLocalFile();
    if (!QDir::isAbsolutePath(path))
        return false;
    const QString folder = QDir::cleanPath(projectFolder);
    const QString file = QDir::cleanPath(path);
    return folder == u"/" ? file.size() > 1 : file.startsWith(folder + u'/');
}

// Judges every request of the page before the browser makes it: file,
// network, web socket alike. Qt calls it on the thread of the page.
class EditorPage::RequestGuard : public QWebEngineUrlRequestInterceptor
{
public:
    explicit RequestGuard(EditorPage &page)
        : m_page(page)
    {
    }

    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        const QUrl url = info.requestUrl();
        const bool mainFrame = info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame;
        if (m_page.mayLoad(url, mainFrame))
            return;
        info.block(true);
        emit m_page.requestBlocked(url);
    }

private:
    EditorPage &m_page;
};

EditorPage::EditorPage(std::function<QString()> projectFolder, QObject *parent)
    : QWebEnginePage(parent)
    , m_projectFolder(std::move(projectFolder))
    , m_guard(std::make_unique<RequestGuard>(*this))
{
    QWebEngineSettings *s = settings();
    // The page's own scripts: none. JavascriptEnabled governs the main
    // world only; the editor's scripts run in their own world.
    s->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    s->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, false);
    // A file: document loads file: pictures only with this on (Qt 6.4
    // leaves them out otherwise, the project's own pictures too); which
    // files, the request guard decides. Without scripts in the page, this
    // lends it no way of reading a file.
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    s->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
    s->setAttribute(QWebEngineSettings::HyperlinkAuditingEnabled, false);
    s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    s->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    s->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
    s->setAttribute(QWebEngineSettings::LocalStorageEnabled, false);
    s->setUnknownUrlSchemePolicy(QWebEngineSettings::DisallowUnknownUrlSchemes);
    setUrlRequestInterceptor(m_guard.get());
}

EditorPage::~EditorPage()
{
    setUrlRequestInterceptor(nullptr);
}

void EditorPage::openDocument(const QUrl &url)
{
    m_document = url;
    m_htmlText = false;
    load(url);
}

void EditorPage::openHtml(const QString &html, const QUrl &baseUrl)
{
    m_document = baseUrl;
    m_htmlText = true;
    setHtml(html, baseUrl);
}

bool EditorPage::mayLoad(const QUrl &url, bool mainFrame) const
{
    if (mainFrame && !m_htmlText && sameDocument(url, m_document))
        return true;
    return EditorMayLoad(url, m_projectFolder ? m_projectFolder() : QString());
}

// Only the navigations the editor starts itself (the browser calls them
// "typed"): a document cannot take the editor elsewhere by a refresh, a
// link, a form or a frame of its own.
bool EditorPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    // setHtml() arrives as a data: address of the text.
    const bool own = isMainFrame && type == NavigationTypeTyped
        && (m_htmlText ? url.scheme() == u"data" : sameDocument(url, m_document));
    if (own)
        emit navigationAccepted();
    else
        emit requestBlocked(url);
    return own;
}

} // namespace varnholt
