#include "newmod2messageform.h"

#include "attachmentform.h"
#include "messagepreview.h"
#include "delimiters.h"

#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"
#include "ui/htmleditor/htmleditor.h"
#include "ui/listtools/editab.h"
#include "ui/listtools/importwindows.h"
#include "ui/listtools/listtoolwindows.h"
#include "ui/verify/verifyform.h"
#include "verify/dnsmxquery.h"

#include <QWebEngineView>

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDrag>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QKeyEvent>
#include <QShowEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace varnholt {

namespace {

// Message list indexes.
enum : int {
    msgSaveChanges = 0, msgConfirm = 1, msgOpenAddressBook = 2, msgLoadAddressBook = 3, msgSaveProjectAs = 4,
    msgAddressBookSaveError = 5, msgAttention = 6, msgMessage = 7, msgOpenForeignAddressBook = 8,
    msgSaveListNotReadWhole = 9, msgListNotReadWhole = 10, msgDelimiterNotOneCharacter = 11,
    msgRecordCount = 12
};

// A drag starts once the pointer has moved this far with the button held.
constexpr int kDragDistance = 10;

QPushButton *toolButton(const QString &caption, const QString &hint, QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setToolTip(hint);
    return button;
}

// A label that gives its Alt+letter to `buddy`.
QLabel *labelFor(const QString &caption, QWidget *buddy, QWidget *parent)
{
    auto *label = new QLabel(caption, parent);
    label->setBuddy(buddy);
    return label;
}

} // namespace

const QString &TNewMod2MessageForm::mergeFieldMimeType()
{
    static const QString type = QStringLiteral("application/x-varnholt-merge-field");
    return type;
}

TNewMod2MessageForm::TNewMod2MessageForm(const TIniInfo &programWide, QWidget *parent)
    : QWidget(parent)
    , m_project(std::make_unique<Project>(programWide))
    , m_msl(new TMsgLanguage(QStringLiteral("TNewMod2MessageForm"),
                             {QStringLiteral("Save changes?"), QStringLiteral("Confirm"),
                              QStringLiteral("Open E-mail Address Book"), QStringLiteral("Load Address Book"),
                              QStringLiteral("Save Project as"), QStringLiteral("Address Book Save Error"),
                              QStringLiteral("Attention"), QStringLiteral("Message"),
                              QStringLiteral("Open Varnholt Address Book"),
                              QStringLiteral("The list file was not read whole (%1). Saving replaces it with the "
                                             "records shown, and the rest of the file is lost. Save anyway?"),
                              QStringLiteral("The list file %1 was not read whole: %2. Saving the project would "
                                             "replace it with the records shown."),
                              QStringLiteral("The field delimiter \"%1\" of this project must be one character. "
                                             "The list is read with \"%2\", and saving the project stores \"%2\"."),
                              QStringLiteral("%1 records")},
                             this))
{
    buildWidgets();
    // "Insert" serves the text the user was in last, wherever the focus
    // went since (the merge field box, the button itself).
    m_focusWatch = connect(qApp, &QApplication::focusChanged, this,
                           [this](QWidget *, QWidget *now) { noteFocus(now); });
    setProperty("translate", false); // the title names the project
    TranslationRegistry::instance().announce(this, m_msl);
}

TNewMod2MessageForm::~TNewMod2MessageForm()
{
    // The focus leaves the widgets as they go, after this part of the object.
    disconnect(m_focusWatch);
    // The grid must let go of the table before the project frees it.
    m_grid->setModel(nullptr);
}

void TNewMod2MessageForm::buildWidgets()
{
    // Button bar.
    auto *importList = toolButton(QStringLiteral("&Import List"), QStringLiteral("Select text file with mailing list"), this);
    auto *editList = toolButton(QStringLiteral("Edit &List"), QStringLiteral("Edit mailing list"), this);
    auto *filter = toolButton(QStringLiteral("Filte&r"), QStringLiteral("Filter Mailing List,  Remove Duplicates"), this);
    auto *verify = toolButton(QStringLiteral("&Verify"), QStringLiteral("Verify email addresses in the mailing list"), this);
    auto *send = toolButton(QStringLiteral("&Send Mailing List"), QStringLiteral("Send Mail"), this);
    auto *close = toolButton(QStringLiteral("&Close"), QStringLiteral("Close the project"), this);
    importList->setObjectName(QStringLiteral("importList"));
    editList->setObjectName(QStringLiteral("editList"));
    filter->setObjectName(QStringLiteral("filter"));
    verify->setObjectName(QStringLiteral("verify"));
    send->setObjectName(QStringLiteral("sendMailingList"));
    close->setObjectName(QStringLiteral("close"));
    connect(importList, &QPushButton::clicked, this, [this] { requestTool(toImportList); });
    connect(editList, &QPushButton::clicked, this, [this] { requestTool(toEditList); });
    connect(filter, &QPushButton::clicked, this, [this] { requestTool(toFilter); });
    connect(verify, &QPushButton::clicked, this, [this] { requestTool(toVerify); });
    connect(send, &QPushButton::clicked, this, &TNewMod2MessageForm::sendMailingList);
    // The selected row's message as it will be sent, and that message to
    // the account's own address (messagepreview.h).
    auto *preview = toolButton(QStringLiteral("&Preview"), QStringLiteral("The selected row's message as it will be sent"), this);
    auto *sendTest = toolButton(QStringLiteral("Send &test"),
                                QStringLiteral("Send the selected row's message to the account's own address"), this);
    preview->setObjectName(QStringLiteral("preview"));
    sendTest->setObjectName(QStringLiteral("sendTest"));
    connect(preview, &QPushButton::clicked, this, [this] { OpenMessagePreview(*this); });
    connect(sendTest, &QPushButton::clicked, this, [this] { SendTestMessage(*this); });
    connect(close, &QPushButton::clicked, this, [this] {
        if (htmlBodyChanged())
            markModified();
        if (QWidget *sub = parentWidget())
            sub->close();
        else
            this->close();
    });
    auto *buttonBar = new QHBoxLayout;
    for (QPushButton *b : {importList, editList, filter, verify, send, preview, sendTest})
        buttonBar->addWidget(b);
    buttonBar->addStretch();
    buttonBar->addWidget(close);

    // The list grid: a view over the project table, one row per record.
    m_grid = new QTableView(this);
    m_grid->setObjectName(QStringLiteral("grid"));
    m_grid->setModel(&m_project->table());
    m_grid->setWordWrap(false);
    // Tab leaves the list for the next control; arrows move between cells.
    m_grid->setTabKeyNavigation(false);
    m_grid->setAccessibleName(QStringLiteral("Mailing list"));
    m_grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_grid->verticalHeader()->setDefaultSectionSize(m_grid->fontMetrics().height() + 6);
    m_grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_grid->horizontalHeader()->setDefaultSectionSize(160);
    m_grid->viewport()->installEventFilter(this);
    connect(m_grid, &QTableView::doubleClicked, this, [this] {
        requestTool(toEditList);
        QMetaObject::invokeMethod(this, &TNewMod2MessageForm::listChanged, Qt::QueuedConnection);
    });
    // Whatever changes the list is saved with the project.
    const ListTable *table = &m_project->table();
    connect(table, &QAbstractItemModel::dataChanged, this, &TNewMod2MessageForm::markModified);
    connect(table, &QAbstractItemModel::rowsInserted, this, &TNewMod2MessageForm::markModified);
    connect(table, &QAbstractItemModel::rowsRemoved, this, &TNewMod2MessageForm::markModified);
    connect(table, &QAbstractItemModel::columnsInserted, this, &TNewMod2MessageForm::markModified);
    connect(table, &QAbstractItemModel::columnsRemoved, this, &TNewMod2MessageForm::markModified);

    // Settings bar.
    m_delimiter = new QComboBox(this);
    m_delimiter->setObjectName(QStringLiteral("delimiter"));
    m_delimiter->setProperty("translate", false); // the entries are the delimiters themselves
    m_delimiter->addItems(delimiterEntries());
    m_delimiter->setToolTip(QStringLiteral("Select a field delimiter for columns"));
    m_format = new QComboBox(this);
    m_format->setObjectName(QStringLiteral("format"));
    m_format->addItems({QStringLiteral("text"), QStringLiteral("html")});
    m_emailColumn = new QComboBox(this);
    m_emailColumn->setObjectName(QStringLiteral("emailColumn"));
    m_emailColumn->setProperty("translate", false); // the list's column titles
    m_emailColumn->setMinimumContentsLength(10);
    m_recordCount = new QLabel(this);
    m_recordCount->setObjectName(QStringLiteral("recordCount"));
    m_recordCount->setProperty("translate", false); // a count the window keeps up to date
    m_subject = new QLineEdit(this);
    m_subject->setObjectName(QStringLiteral("subject"));
    m_subject->setMaxLength(255);
    m_subject->installEventFilter(this);
    m_mergeField = new QComboBox(this);
    m_mergeField->setObjectName(QStringLiteral("mergeField"));
    m_mergeField->setProperty("translate", false); // the list's column titles
    m_mergeField->setToolTip(QStringLiteral("Select fields for mail merge"));
    m_mergeField->setMinimumContentsLength(10);
    m_mergeField->installEventFilter(this);
    auto *insert = toolButton(QStringLiteral("I&nsert"), QStringLiteral("Insert field"), this);
    insert->setObjectName(QStringLiteral("insert"));
    connect(insert, &QPushButton::clicked, this, &TNewMod2MessageForm::insertMergeField);
    m_attachmentColumn = new QComboBox(this);
    auto *attachmentColumnLabel = new QLabel(QStringLiteral("Attachment path in the field"), this);
    // The attachment column comes from the project file; its box is not shown.
    m_attachmentColumn->hide();
    attachmentColumnLabel->hide();

    auto *settingsBar = new QGridLayout;
    settingsBar->addWidget(labelFor(QStringLiteral("Field &delimiter"), m_delimiter, this), 0, 0);
    settingsBar->addWidget(m_delimiter, 0, 1);
    settingsBar->addWidget(labelFor(QStringLiteral("Message f&ormat"), m_format, this), 0, 2);
    settingsBar->addWidget(m_format, 0, 3);
    settingsBar->addWidget(labelFor(QStringLiteral("E&mail address in"), m_emailColumn, this), 0, 4);
    settingsBar->addWidget(m_emailColumn, 0, 5);
    settingsBar->addWidget(m_recordCount, 0, 6);
    settingsBar->addWidget(labelFor(QStringLiteral("Su&bject"), m_subject, this), 1, 0);
    settingsBar->addWidget(m_subject, 1, 1, 1, 3);
    settingsBar->addWidget(labelFor(QStringLiteral("Mer&ge field"), m_mergeField, this), 1, 4);
    settingsBar->addWidget(m_mergeField, 1, 5);
    m_format->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    insert->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    settingsBar->addWidget(insert, 1, 6, Qt::AlignLeft);
    settingsBar->setColumnStretch(3, 1);
    settingsBar->setColumnStretch(7, 1);

    auto *upper = new QWidget(this);
    auto *upperLayout = new QVBoxLayout(upper);
    upperLayout->setContentsMargins(0, 0, 0, 0);
    upperLayout->addWidget(m_grid, 1);
    upperLayout->addLayout(settingsBar);

    // Editor pages, tabs at the bottom.
    m_editor = new QPlainTextEdit(this);
    m_editor->setObjectName(QStringLiteral("textEditor"));
    m_editor->setAccessibleName(QStringLiteral("Message text"));
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    m_editor->setFont(font);
    m_editor->viewport()->installEventFilter(this);
    m_editor->installEventFilter(this);
    m_editor->setContextMenuPolicy(Qt::DefaultContextMenu);
    m_editor->setTabChangesFocus(true);
    connect(m_editor, &QPlainTextEdit::textChanged, this, [this] { markModified(); updateEditState(); });
    connect(m_editor, &QPlainTextEdit::selectionChanged, this, &TNewMod2MessageForm::updateEditState);
    connect(m_editor, &QPlainTextEdit::undoAvailable, this, &TNewMod2MessageForm::updateEditState);
    connect(m_editor, &QPlainTextEdit::redoAvailable, this, &TNewMod2MessageForm::updateEditState);
    m_plainPage = m_editor;
    // The HTML editor's browser takes a while to start: its page gets it
    // when the project is in HTML format or the page is first needed.
    m_htmlPage = new QWidget(this);
    m_htmlPage->setObjectName(QStringLiteral("htmlPage"));
    auto *htmlLayout = new QVBoxLayout(m_htmlPage);
    htmlLayout->setContentsMargins(0, 0, 0, 0);
    // The HTML editor's tool bar is wider than a small screen: the editor
    // scrolls sideways on its page, rather than widening the whole window.
    m_htmlScroller = new QScrollArea(m_htmlPage);
    m_htmlScroller->setObjectName(QStringLiteral("htmlScroller"));
    m_htmlScroller->setFrameShape(QFrame::NoFrame);
    m_htmlScroller->setWidgetResizable(true);
    m_htmlScroller->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    htmlLayout->addWidget(m_htmlScroller);
    m_pages = new QTabWidget(this);
    m_pages->setTabPosition(QTabWidget::South);
    // Tab reaches the page tabs themselves, and only while they are shown
    // (in text format they are hidden, and Tab must not stop at them).
    m_pages->setFocusPolicy(Qt::NoFocus);
    m_pages->addTab(m_plainPage, QStringLiteral("Plain Te&xt Editor"));
    m_pages->addTab(m_htmlPage, QStringLiteral("W&YSIWYG HTML Editor"));
    connect(m_pages, &QTabWidget::currentChanged, this, [this](int page) {
        if (m_pages->widget(page) == m_plainPage) {
            m_editor->setFocus();
        } else if (m_pages->widget(page) == m_htmlPage) {
            THtmlEditor *editor = htmlEditor();
            if (!editor->isPageFilled())
                editor->showFirstTime(m_editor->toPlainText());
            editor->view()->setFocus();
        }
    });

    // Attachment bar.
    m_attachments = new QComboBox(this);
    m_attachments->setObjectName(QStringLiteral("attachmentList"));
    m_attachments->setMinimumContentsLength(30);
    m_attachments->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    auto *attachButton = new QPushButton(QStringLiteral("..."), this);
    attachButton->setObjectName(QStringLiteral("attachments"));
    attachButton->setAccessibleName(QStringLiteral("Choose attachments"));
    attachButton->setToolTip(QStringLiteral("Choose attachments"));
    attachButton->setMaximumWidth(40);
    connect(attachButton, &QPushButton::clicked, this, &TNewMod2MessageForm::editAttachments);
    auto *attachmentBar = new QHBoxLayout;
    attachmentBar->addWidget(labelFor(QStringLiteral("Attac&hments:"), m_attachments, this));
    attachmentBar->addWidget(m_attachments, 1);
    attachmentBar->addWidget(attachButton);
    attachmentBar->addWidget(attachmentColumnLabel);
    attachmentBar->addWidget(m_attachmentColumn);

    auto *lower = new QWidget(this);
    auto *lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addWidget(m_pages, 1);
    lowerLayout->addLayout(attachmentBar);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(upper);
    splitter->addWidget(lower);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    splitter->setChildrenCollapsible(false);

    // On a screen too small for the window its contents scroll, rather
    // than controls being pushed out of reach.
    auto *contents = new QWidget;
    contents->setObjectName(QStringLiteral("contents"));
    auto *layout = new QVBoxLayout(contents);
    layout->addLayout(buttonBar);
    layout->addWidget(splitter, 1);
    auto *scroller = new QScrollArea(this);
    scroller->setObjectName(QStringLiteral("scroller"));
    scroller->setFocusPolicy(Qt::NoFocus); // the controls in it take the focus
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    scroller->setWidget(contents);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroller);

    connect(m_delimiter, &QComboBox::currentIndexChanged, this, &TNewMod2MessageForm::delimiterChosen);
    connect(m_format, &QComboBox::currentIndexChanged, this, &TNewMod2MessageForm::formatChosen);
    connect(m_emailColumn, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!m_filling && index >= 0) {
            m_project->settings().Column = index;
            markModified();
        }
    });
    connect(m_attachmentColumn, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!m_filling && index >= 0) {
            m_project->settings().ColumnA = index;
            markModified();
        }
    });
    // Typed, inserted or dropped alike.
    connect(m_subject, &QLineEdit::textChanged, this, &TNewMod2MessageForm::markModified);
}

// ---- filling and saving --------------------------------------------------------

QString TNewMod2MessageForm::newProject(const QString &startPath)
{
    const QString path = m_project->createNew(startPath);
    fillFromProject();
    m_project->setModified(true);
    updateModifiedMark();
    return path;
}

bool TNewMod2MessageForm::openProject(const QString &settingsFile)
{
    bool complete = true;
    loadListWithProgress([&](const ListTable::LoadProgress &progress) {
        // Project::open loads settings, list and text; only the list load
        // reports progress. The caption names the list file.
        m_project->open(settingsFile, [&](qint64 position, qint64 maximum) {
            const bool goOn = progress(position, maximum);
            complete = complete && goOn;
            return goOn;
        });
    });
    fillFromProject();
    m_project->setModified(false);
    if (!m_project->listReadWhole())
        ShowMessageBox(m_msl->text(msgListNotReadWhole).arg(m_project->listFile(), m_project->listWarning()),
                       m_msl->text(msgAttention), mbIconInformation);
    if (!m_project->delimiterError().isEmpty()) {
        // Only one-character delimiters are offered and written; the list
        // was split at the first character, which is what a save keeps.
        const QString symbol = m_project->settings().SectionSymbol;
        m_project->settings().SectionSymbol = QString(m_project->delimiter());
        ShowMessageBox(m_msl->text(msgDelimiterNotOneCharacter).arg(symbol, delimiterName(m_project->delimiter())),
                       m_msl->text(msgAttention), mbIconInformation);
        m_project->setModified(true);
    }
    updateModifiedMark();
    return complete;
}

bool TNewMod2MessageForm::loadListWithProgress(const std::function<void(const ListTable::LoadProgress &)> &load)
{
    // The grid is detached while the table is rebuilt: the interface handles
    // events between the steps, and a paint must not read a half-built table.
    m_grid->setModel(nullptr);
    m_loading = true;
    // Most lists load in a moment: the progress window appears only when
    // the load takes longer.
    DelayedProgress progress(window(), [this] {
        return m_msl->text(msgLoadAddressBook) + QStringLiteral(".. ") + m_project->listFile();
    });
    bool complete = true;
    load([&](qint64 position, qint64 maximum) {
        complete = progress.step(position, maximum);
        return complete;
    });
    progress.finish();
    m_loading = false;
    m_grid->setModel(&m_project->table());
    return complete;
}

void TNewMod2MessageForm::fillFromProject()
{
    m_filling = true;
    const TIniInfo &s = m_project->settings();
    m_delimiter->setCurrentIndex(int(delimiterEntries().indexOf(entryOfDelimiter(m_project->delimiter()))));
    m_subject->setText(s.Subject);
    m_editor->setPlainText(m_project->plainText());
    m_format->setCurrentIndex(s.Html ? 1 : 0);
    showFormat(s.Html);
    m_pages->setCurrentWidget(m_plainPage);
    if (s.Html)
        htmlEditor()->fillAtLoad(true);
    else if (m_htmlEditor)
        m_htmlEditor->fillAtLoad(false);
    fillColumnBoxes();
    m_filling = false;
    updateCaption();
    listChanged();
    refreshAttachments();
}

void TNewMod2MessageForm::fillColumnBoxes()
{
    const bool wasFilling = std::exchange(m_filling, true);
    const QStringList titles = m_project->table().titles();
    const TIniInfo &s = m_project->settings();
    m_emailColumn->clear();
    m_emailColumn->addItems(titles);
    m_mergeField->clear();
    m_mergeField->addItems(titles);
    m_attachmentColumn->clear();
    m_attachmentColumn->addItem(QStringLiteral("None"));
    m_attachmentColumn->addItems(titles);
    const int email = clampEmailColumn(s.Column, int(titles.size()));
    m_emailColumn->setCurrentIndex(email);
    m_mergeField->setCurrentIndex(email);
    m_attachmentColumn->setCurrentIndex(clampAttachmentColumn(s.ColumnA, int(titles.size())));
    m_filling = wasFilling;
}

void TNewMod2MessageForm::rebuildAfterListChange()
{
    fillColumnBoxes();
    markModified();
    QMetaObject::invokeMethod(this, &TNewMod2MessageForm::listChanged, Qt::QueuedConnection);
}

int TNewMod2MessageForm::emailColumn() const
{
    return std::max(0, m_emailColumn->currentIndex());
}

bool TNewMod2MessageForm::saveProject(bool saveAs)
{
    TIniInfo &s = m_project->settings();
    s.Subject = m_subject->text().left(255);
    s.Column = emailColumn();
    s.ColumnA = std::max(0, m_attachmentColumn->currentIndex());
    m_project->setPlainText(m_editor->toPlainText());

    if (!m_project->listReadWhole() && !m_project->listOverwriteConfirmed()) {
        if (ShowMessageBox(m_msl->text(msgSaveListNotReadWhole).arg(m_project->listWarning()), m_msl->text(msgConfirm),
                           mbYesNo | mbIconQuestion | mbDefButton2)
            != idYes)
            return false;
        m_project->setListOverwriteConfirmed(true);
    }
    std::optional<QString> chosen;
    if (m_project->needsSaveDialog(saveAs)) {
        chosen = ShowFileDialog(this, FileDialogKind::Save, m_msl->text(msgSaveProjectAs),
                                m_project->suggestedSaveFileName(), QStringLiteral("Eml (*.eml);;All (*)"));
        // Cancelled: nothing is written, under the old name or any other.
        if (!chosen)
            return false;
    }
    const QString oldHtmlFile = m_project->htmlFile();
    const QString oldPictureFolder = m_htmlEditor ? m_htmlEditor->pictureFolder() : QString();
    const Project::SaveResult result = m_project->save(saveAs, chosen);
    // Under another name or folder the HTML text and its pictures go along.
    if (result.confirmed && m_htmlEditor && m_project->htmlFile() != oldHtmlFile)
        m_htmlEditor->followProject(oldHtmlFile, oldPictureFolder);
    else if (result.confirmed && htmlBodyChanged())
        m_htmlEditor->writeHtml();
    if (!result.listError.isEmpty())
        ShowMessageBox(m_msl->text(msgAddressBookSaveError) + QStringLiteral(" : ") + m_project->listFile(),
                       m_msl->text(msgAttention), mbIconInformation);
    if (!result.settingsError.isEmpty())
        ShowMessageBox(result.settingsError, m_msl->text(msgAttention), mbIconError);
    updateCaption();
    updateModifiedMark();
    emit commandsChanged();
    return result.saved;
}

bool TNewMod2MessageForm::queryClose()
{
    if (m_loading)
        return false; // the list load is stopped with its own "Stop"
    if (htmlBodyChanged())
        markModified();
    if (m_project->isModified()) {
        switch (ShowMessageBox(m_msl->text(msgSaveChanges), m_msl->text(msgConfirm), mbYesNoCancel | mbIconQuestion)) {
        case idYes:
            if (!saveProject(false))
                return false;
            break;
        case idNo:
            break;
        default:
            return false;
        }
    }
    return true;
}

void TNewMod2MessageForm::closeWithoutQuestion()
{
    m_closeAnswered = true;
    if (QWidget *sub = parentWidget())
        sub->close();
    else
        close();
}

void TNewMod2MessageForm::closeEvent(QCloseEvent *event)
{
    if (!m_closeAnswered && !queryClose()) {
        event->ignore();
        return;
    }
    emit closing();
    if (!m_project->isNew())
        emit addRecentProject(m_project->settingsFile());
    event->accept();
    emit commandsChanged();
}

void TNewMod2MessageForm::updateCaption()
{
    // "[*]" shows while the project has unsaved changes.
    setWindowTitle(m_msl->text(msgMessage) + QStringLiteral(" - ") + m_project->name() + QStringLiteral("[*]"));
}

void TNewMod2MessageForm::markModified()
{
    if (!m_filling && !m_loading)
        m_project->setModified(true);
    updateModifiedMark();
}

void TNewMod2MessageForm::updateModifiedMark()
{
    const bool modified = m_project->isModified();
    if (modified == isWindowModified())
        return;
    setWindowModified(modified);
    emit modifiedChanged(modified);
}

// ---- notifications -------------------------------------------------------------

void TNewMod2MessageForm::requestTool(int tool)
{
    switch (tool) {
    case toLocalPictures: htmlEditor()->makePicturesLocal(); return;
    case toPrepareHtml: htmlEditor()->prepareDocument(); return;
    case toImportHtml: htmlEditor()->importHtml(); return;
    case toForeignImport:
    case toImportList: {
        ListTable &table = m_project->table();
        const bool imported = tool == toImportList ? ImportAddressBook(this, table, m_project->delimiter())
                                                   : ImportParlowenAddressBook(this, table);
        if (imported)
            rebuildAfterListChange();
        return;
    }
    case toEditList: {
        QString delimiter(m_project->delimiter());
        if (EditAddressBook(this, m_project->table(), m_project->listFile(), delimiter)) {
            // The editor's delimiter is taken as it is; the list is not read again.
            if (!delimiter.isEmpty()) {
                m_project->settings().SectionSymbol = delimiterName(delimiter.at(0));
                const bool was = std::exchange(m_filling, true);
                m_delimiter->setCurrentIndex(int(delimiterEntries().indexOf(entryOfDelimiter(delimiter.at(0)))));
                m_filling = was;
            }
            rebuildAfterListChange();
        } else {
            QMetaObject::invokeMethod(this, &TNewMod2MessageForm::listChanged, Qt::QueuedConnection);
        }
        return;
    }
    case toFilter:
        FilterAddressBook(this, m_project->table(), m_project->folder());
        rebuildAfterListChange();
        return;
    case toVerify: {
        const int column = emailColumn();
        m_project->table().normaliseAddresses(column);
        if (VerifyAddresses(this, *m_project, column, DnsMxQuery::factory()))
            markModified();
        QMetaObject::invokeMethod(this, &TNewMod2MessageForm::listChanged, Qt::QueuedConnection);
        emit verificationClosed();
        return;
    }
    default: break; // any other number does nothing
    }
}

void TNewMod2MessageForm::listChanged()
{
    m_recordCount->setText(m_msl->text(msgRecordCount).arg(m_project->table().rowCount()));
    // The sending window's "Delete from list" marks the project itself.
    updateModifiedMark();
}

void TNewMod2MessageForm::refreshAttachments()
{
    m_attachments->clear();
    for (const ProjectAttachment &a : std::as_const(m_project->attachments()))
        m_attachments->addItem(attachmentIcon(a.mimeType), attachmentLabel(a));
    const bool any = m_attachments->count() > 0;
    m_attachments->setEnabled(any);
    m_attachments->setCurrentIndex(any ? 0 : -1);
}

void TNewMod2MessageForm::editAttachments()
{
    TAttachmentForm form(m_project->attachments(), this);
    if (form.exec() != QDialog::Accepted || form.attachments() == m_project->attachments())
        return;
    m_project->attachments() = form.attachments();
    markModified();
    QMetaObject::invokeMethod(this, &TNewMod2MessageForm::refreshAttachments, Qt::QueuedConnection);
}

void TNewMod2MessageForm::sendMailingList()
{
    if (!saveProject(false))
        return;
    m_project->table().normaliseAddresses(emailColumn());
    emit sendingWindowRequested();
    QMetaObject::invokeMethod(this, &TNewMod2MessageForm::listChanged, Qt::QueuedConnection);
}

// ---- delimiter and format -----------------------------------------------------

void TNewMod2MessageForm::delimiterChosen(int index)
{
    if (m_filling || index < 0)
        return;
    const QChar chosen = delimiterOfEntry(m_delimiter->itemText(index));
    bool reloaded = false;
    loadListWithProgress([&](const ListTable::LoadProgress &progress) {
        reloaded = m_project->changeDelimiter(chosen, progress);
    });
    if (reloaded) {
        fillColumnBoxes();
        listChanged();
    }
    markModified();
}

void TNewMod2MessageForm::formatChosen(int index)
{
    if (m_filling || index < 0)
        return;
    const bool html = index == 1;
    m_project->settings().Html = html;
    QWidget *before = m_pages->currentWidget();
    showFormat(html);
    m_pages->setCurrentWidget(html ? m_htmlPage : m_plainPage);
    if (m_pages->currentWidget() != before && !html)
        m_editor->setFocus();
    markModified();
}

void TNewMod2MessageForm::showFormat(bool html)
{
    // In text format the plain text page stands alone, without tabs.
    m_pages->setTabVisible(m_pages->indexOf(m_htmlPage), html);
    m_pages->tabBar()->setVisible(html);
}

// ---- edit state and commands ---------------------------------------------------

void TNewMod2MessageForm::updateEditState()
{
    int bits = 0;
    if (m_editor->hasFocus()) {
        const QTextDocument *doc = m_editor->document();
        if (doc->isUndoAvailable())
            bits |= ebUndo;
        if (doc->isRedoAvailable())
            bits |= ebRedo;
        if (m_editor->canPaste())
            bits |= ebPaste;
        if (m_editor->textCursor().hasSelection())
            bits |= ebCut | ebCopy | ebDelete;
    }
    if (bits != m_editState) {
        m_editState = bits;
        emit editStateChanged(bits);
    }
}

void TNewMod2MessageForm::editCommand(int bit)
{
    switch (bit) {
    case ebCut: m_editor->cut(); break;
    case ebCopy: m_editor->copy(); break;
    case ebPaste: m_editor->paste(); break;
    case ebDelete: m_editor->textCursor().removeSelectedText(); break;
    case ebUndo: m_editor->undo(); break;
    case ebRedo: m_editor->redo(); break;
    default: break;
    }
}

// ---- merge fields --------------------------------------------------------------

QString TNewMod2MessageForm::currentColumnField() const
{
    const int column = std::max(0, m_grid->currentIndex().column());
    return u'[' + ListTable::columnTitle(column) + u']';
}

QString TNewMod2MessageForm::selectedMergeField() const
{
    const QString title = m_mergeField->currentText();
    return title.isEmpty() ? QString() : u'[' + title + u']';
}

void TNewMod2MessageForm::noteFocus(QWidget *now)
{
    if (!now || !m_editor)
        return;
    if (now == m_subject)
        m_lastText = TextTarget::Subject;
    else if (now == m_editor || m_editor->isAncestorOf(now))
        m_lastText = TextTarget::PlainText;
    else if (m_htmlEditor && (now == m_htmlEditor->view() || m_htmlEditor->view()->isAncestorOf(now)))
        m_lastText = TextTarget::Html;
}

TNewMod2MessageForm::TextTarget TNewMod2MessageForm::insertTarget() const
{
    // The text the user was in last, while its page is the one shown; else
    // the text of the page shown.
    const bool htmlShown = m_pages->currentWidget() == m_htmlPage;
    switch (m_lastText) {
    case TextTarget::Subject:
        return TextTarget::Subject;
    case TextTarget::Html:
        if (htmlShown)
            return TextTarget::Html;
        break;
    case TextTarget::PlainText:
        if (!htmlShown)
            return TextTarget::PlainText;
        break;
    }
    return htmlShown ? TextTarget::Html : TextTarget::PlainText;
}

void TNewMod2MessageForm::insertMergeField()
{
    const QString field = selectedMergeField();
    if (field.isEmpty())
        return;
    // The field goes in at that text's caret, and the user goes on typing there.
    switch (insertTarget()) {
    case TextTarget::Subject:
        m_subject->insert(field);
        m_subject->setFocus();
        break;
    case TextTarget::PlainText:
        m_editor->insertPlainText(field);
        m_editor->setFocus();
        break;
    case TextTarget::Html: {
        THtmlEditor *editor = htmlEditor();
        editor->insertMergeField(field);
        editor->view()->setFocus();
        break;
    }
    }
}

bool TNewMod2MessageForm::htmlBodyChanged() const
{
    return m_project->settings().Html && m_htmlEditor && m_htmlEditor->htmlChanged();
}

THtmlEditor *TNewMod2MessageForm::htmlEditor()
{
    if (m_htmlEditor)
        return m_htmlEditor;
    m_htmlEditor = new THtmlEditor;
    m_htmlEditor->setProject(m_project.get());
    connect(m_htmlEditor, &THtmlEditor::changed, this, [this] { markModified(); });
    connect(m_htmlEditor, &THtmlEditor::toolRequested, this, &TNewMod2MessageForm::requestTool, Qt::QueuedConnection);
    connect(m_htmlEditor, &THtmlEditor::browserUnavailable, this, &TNewMod2MessageForm::browserUnavailable);
    m_htmlScroller->setWidget(m_htmlEditor);
    m_htmlEditor->show();
    return m_htmlEditor;
}

void TNewMod2MessageForm::startFieldDrag(bool fromMergeFieldBox)
{
    // From the merge field box its entry goes wherever it is dropped, and
    // only this drag is taken by the HTML editor.
    const QString field = fromMergeFieldBox ? selectedMergeField() : currentColumnField();
    if (field.isEmpty())
        return;
    auto *mime = new QMimeData;
    mime->setData(mergeFieldMimeType(), field.toUtf8());
    if (fromMergeFieldBox)
        mime->setData(THtmlEditor::mergeFieldDragType(), field.toUtf8());
    mime->setText(field);
    auto *drag = new QDrag(fromMergeFieldBox ? static_cast<QObject *>(m_mergeField) : m_grid);
    drag->setMimeData(mime);
    drag->exec(Qt::CopyAction);
}

void TNewMod2MessageForm::dropFieldOnSubject(const QPoint &pos, const QString &field)
{
    // The character under the drop point by the box's real font metrics.
    const int at = m_subject->cursorPositionAt(pos);
    QString text = m_subject->text();
    text.insert(at, field);
    m_subject->setText(text.left(m_subject->maxLength()));
    m_subject->setCursorPosition(std::min<int>(at + int(field.size()), int(m_subject->text().size())));
    m_subject->setFocus();
    markModified();
}

void TNewMod2MessageForm::dropFieldOnEditor(const QPoint &pos, const QString &field)
{
    // At the character under the drop point; right of a line's end or
    // below the text, at the nearest place the text has.
    QTextCursor at = m_editor->cursorForPosition(pos);
    at.insertText(field);
    m_editor->setTextCursor(at);
    m_editor->setFocus();
}

void TNewMod2MessageForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The window opens on its first command, for the keyboard.
    if (!std::exchange(m_shownOnce, true)) {
        if (auto *first = findChild<QPushButton *>(QStringLiteral("importList")))
            first->setFocus(Qt::OtherFocusReason);
    }
}

bool TNewMod2MessageForm::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_editor) // still building the widgets
        return QWidget::eventFilter(watched, event);
    // Enter in the merge field box inserts its field, as "Insert" does.
    if (watched == m_mergeField && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            insertMergeField();
            return true;
        }
    }

    // Dragging a merge field out of the grid or out of the merge field box;
    // the box opens its list on a click's release instead of its press.
    const bool fromBox = watched == m_mergeField;
    if (watched == m_grid->viewport() || fromBox) {
        if (event->type() == QEvent::MouseButtonPress) {
            auto *press = static_cast<QMouseEvent *>(event);
            m_dragArmed = press->button() == Qt::LeftButton;
            m_dragStart = press->position().toPoint();
            if (fromBox && m_dragArmed)
                return true;
        } else if (event->type() == QEvent::MouseMove && m_dragArmed) {
            auto *move = static_cast<QMouseEvent *>(event);
            if ((move->buttons() & Qt::LeftButton)
                && (move->position().toPoint() - m_dragStart).manhattanLength() >= kDragDistance) {
                m_dragArmed = false;
                startFieldDrag(fromBox);
                return true;
            }
        } else if (event->type() == QEvent::MouseButtonRelease) {
            const bool click = fromBox && m_dragArmed;
            m_dragArmed = false;
            if (click) {
                m_mergeField->showPopup();
                return true;
            }
        }
        return QWidget::eventFilter(watched, event);
    }

    // Dropping a merge field into the subject or the text.
    const bool onSubject = watched == m_subject;
    const bool onEditor = watched == m_editor->viewport();
    if (onSubject || onEditor) {
        const auto type = event->type();
        if (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) {
            auto *drop = static_cast<QDropEvent *>(event);
            if (!drop->mimeData()->hasFormat(mergeFieldMimeType()))
                return QWidget::eventFilter(watched, event);
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            if (type == QEvent::Drop) {
                const QString field = QString::fromUtf8(drop->mimeData()->data(mergeFieldMimeType()));
                if (onSubject)
                    dropFieldOnSubject(drop->position().toPoint(), field);
                else
                    dropFieldOnEditor(drop->position().toPoint(), field);
            }
            return true;
        }
    }

    if (watched == m_editor) {
        // Tab leaves the text for the next control; Ctrl+Tab types a tab.
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (key->key() == Qt::Key_Tab && key->modifiers() == Qt::ControlModifier) {
                m_editor->insertPlainText(QStringLiteral("\t"));
                return true;
            }
        }
        if (event->type() == QEvent::FocusIn)
            updateEditState();
        else if (event->type() == QEvent::FocusOut)
            QMetaObject::invokeMethod(this, [this] {
                if (!m_editor->hasFocus() && m_editState != 0) {
                    m_editState = 0;
                    emit editStateChanged(0);
                }
            }, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace varnholt
