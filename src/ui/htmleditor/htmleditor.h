#pragma once

#include "picturedownload.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QFontComboBox;
class QKeyEvent;
class QLabel;
class QNetworkAccessManager;
class QTemporaryDir;
class QWebEngineView;

// The HTML message editor: the page "WYSIWYG HTML Editor" of the project
// window. The body is edited in place in a browser view whose document is
// in design mode; the tool bar runs the browser's editing commands. The
// editor keeps the body's pictures in the project's picture folder N/,
// imports HTML files with their pictures and writes the body to N.htm.
//
// The document lives in another process: the editor keeps a copy of its
// source, reported after every change, so that "has the HTML changed" and
// writing N.htm can be answered at once when the project is saved.
//
// A body may come from anywhere (an imported newsletter from the web): its
// own scripts never run, it reaches nothing on the network and no local
// file outside the project's folder, and it cannot navigate away
// (EditorPage). The editor's commands run in a script world of their own.
namespace varnholt {

class EditorPage;
class Project;

class THtmlEditor : public QWidget
{
    Q_OBJECT
public:
    explicit THtmlEditor(QWidget *parent = nullptr);
    ~THtmlEditor() override;

    // The open project, for N.htm, the picture folder and the colour files.
    void setProject(const Project *project);

    // Filling at project load: forgets the document and the marks; in HTML
    // format loads N.htm, or a blank document when there is none.
    void fillAtLoad(bool htmlFormat);
    // The first showing of the page for a project: N.htm when it exists,
    // else `plainText` as the body's first content; without one the body
    // stays empty and a placeholder lies over it.
    void showFirstTime(const QString &plainText);
    [[nodiscard]] bool isPageFilled() const { return m_pageFilled; }
    // The placeholder over an empty body is shown.
    [[nodiscard]] bool placeholderShown() const;

    // A document is present from its load's completion until the next
    // navigation starts; commands other than the import need one.
    [[nodiscard]] bool documentPresent() const { return m_present; }
    // The document's source as last reported.
    [[nodiscard]] QString source() const { return m_source; }
    // A document is present and N.htm is missing or differs from it.
    [[nodiscard]] bool htmlChanged() const;
    // Writes the document to N.htm; on failure says "Fail to save HTML source".
    bool writeHtml();

    // Editing commands by name ("Bold", "FontSize", ...), with a value.
    void runCommand(const QString &name, const QString &value = {});
    // The merge field at the caret. The clipboard is left as it was.
    void insertMergeField(const QString &field);
    // The merge field at the point `viewPos` of the view (at the caret
    // when no text lies there), as a drop does.
    void dropMergeField(const QPointF &viewPos, const QString &field);
    // The drag type of a merge field dragged from the project window's
    // merge field box, its data the field ("[" + title + "]"). The editor
    // takes drops of this type only.
    static const QString &mergeFieldDragType();

    // Copies the picture (a local path or an http(s) address) into the
    // picture folder and inserts the copy. An address is fetched first:
    // true then means the download started, and the picture is inserted
    // when it succeeded (picturesFetched() tells either way).
    bool insertPicture(const QString &path);
    // How long one picture download may take, in milliseconds.
    void setDownloadTimeLimit(int ms) { m_downloadTimeLimit = ms; }
    void insertHtml(const QString &fragment);
    // A tab character at the caret (Ctrl+Tab; Tab leaves the editor).
    void insertTab();
    void setBackgroundColor(const QString &colorValue);

    // The picture folder (project folder + name), and copying one picture
    // into it under `relative`; an earlier copy of that name is replaced.
    [[nodiscard]] QString pictureFolder() const;
    // How the document refers to a picture file: from the folder of N.htm
    // when it lies there, else by its file address.
    [[nodiscard]] QString pictureReference(const QString &path) const;
    // After the project was saved under another name or folder: N.htm is
    // written at the new place (the document shown, or the old file when
    // the browser has not shown it yet); the pictures it refers to
    // relatively (its own picture folder, or beside the old N.htm and no
    // longer reached) are copied into the new picture folder and the
    // references follow. False when N.htm could not be written (said).
    bool followProject(const QString &oldHtmlFile, const QString &oldPictureFolder);
    std::optional<QString> copyIntoPictureFolder(const QString &source, const QString &relative);

    // Tools of the project window: 5 make the pictures of an imported file
    // local, 6 prepare a freshly loaded document, 7 import an HTML file.
    void makePicturesLocal();
    void prepareDocument() {}
    void importHtml();
    void importHtmlFile(const QString &file);

    // Tool bar actions that open dialogs.
    void chooseFontColor();
    void chooseBackground();
    void choosePicture();
    void chooseTable();
    void createLink();
    void openInBrowser();

    [[nodiscard]] QWebEngineView *view() const { return m_view; }
    [[nodiscard]] QComboBox *fontSizeBox() const { return m_sizeBox; }
    [[nodiscard]] QFontComboBox *fontBox() const { return m_fontBox; }

    // Called by the document's script (through the web channel).
    void reportSource(const QString &source);
    void reportSelection(int fontSize, const QString &fontName);

signals:
    // The document completed loading and is in design mode.
    void documentReady();
    // The document's source was reported.
    void sourceChanged();
    // A command completed: the project counts as modified.
    void changed();
    // Tool 5 or 6 for the project window (posted after a load).
    void toolRequested(int tool);
    // The browser's process could not run: the editor cannot work.
    void browserUnavailable();
    // Pictures given by address were fetched (for an insertion or an
    // import): how many were stored and how many failed.
    void picturesFetched(int stored, int failed);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool filterDrag(QObject *watched, QEvent *event);
    bool swapEnter(QObject *watched, QKeyEvent *event);
    bool tabKey(QKeyEvent *key);
    [[nodiscard]] bool enterSwapApplies() const;
    void watchFocusProxy();
    void runEdit(const QString &prelude, const QString &name, const QString &value);
    void fetchPictures(const QList<PictureDownload::Item> &items, std::function<void(const QList<bool> &)> done);
    void finishImport(quint64 load, const QStringList &sources);

    void buildToolBar();
    void navigate(const QUrl &url);
    void leaveDocument();
    void loadFinished(bool ok);
    void makeBlank();
    void updatePlaceholder();
    [[nodiscard]] QString carriedPictures(const QString &source, const QString &oldHtmlFile,
                                          const QString &oldPictureFolder);
    void writePendingText();
    void runScript(const QString &script, const std::function<void(const QVariant &)> &done = {});
    [[nodiscard]] QString htmlFile() const;
    [[nodiscard]] QString projectStem() const;

    const Project *m_project = nullptr;
    QWebEngineView *m_view = nullptr;
    EditorPage *m_page = nullptr;
    QComboBox *m_sizeBox = nullptr;
    QFontComboBox *m_fontBox = nullptr;
    QLabel *m_placeholder = nullptr;
    QPointer<QWidget> m_watchedProxy;
    QNetworkAccessManager *m_network = nullptr;
    QList<QPointer<PictureDownload>> m_downloads;
    std::unique_ptr<QTemporaryDir> m_browserCopies; // what "Browser" opened
    int m_downloadTimeLimit = 30000;
    bool m_swappingEnter = false;

    QString m_source;      // the document as last reported
    QString m_savedSource; // the document as loaded or last written
    std::optional<QString> m_pendingText;
    quint64 m_loadNumber = 0;
    bool m_present = false;
    bool m_loadPending = false; // a navigation of the editor's is under way
    bool m_importPending = false;
    bool m_pageFilled = false;
};

} // namespace varnholt
