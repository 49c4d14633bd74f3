// Pictures of the desktop program's windows, for the documentation. Not
// installed: it opens its windows on a scratch copy of a project and keeps
// no settings.
//
//   varnholt-screenshots [Qt options] [--home DIR] [--lang NAME] WINDOW FILE [PROJECT.eml [PAGE.htm]]
//
// --lang NAME shows the windows in the language of NAME.lan in the program
// folder ("deutsch", which the program puts there itself).
//
// Opens WINDOW with PROJECT, writes a picture of it to FILE (PNG) and ends:
// 0 when the picture was written. "main" is the main window with the
// project window, "project" the project window alone, "small" the project
// window at 800 x 600 and "small-main" the main window at 1024 x 600 (the
// smallest screens it is made for), "htmleditor" the main
// window with the project window on its HTML page, "htmlimport" the same
// after PAGE was imported into the HTML editor, "sending" the sending
// window in the middle of a run (screenshotdemo.h), "sendingdirect" the same
// window switched to direct delivery, "attachments" the
// project's attachments window, "preview" the message preview of the
// list's second row, "connectiontest" the preferences' connection test
// (screenshotpreview.h), "logs", "save", "delete" and "schedule"
// the sending window's dialogs; "importwizard" (a quoted CSV on the
// delimiter page), "importtype" (the same on the type and preview page),
// "importbreaks" (a fixed-width file on the column-break page),
// "importsheet" (a workbook on the type page, its titles row ticked) and
// "addressbook" (a folder of address books) the list import
// windows, on sample files of their own; "listeditor", "dedupe", "filter"
// and "replace" the list tools on the project's list; "verify" the verification window
// after a run over the project's list, its MX queries answered by a script
// (no DNS server is asked), a row in each state's colour; "extract" the
// extraction window after a run over a folder of sample pages; any other name
// triggers the main window's command of that name (a modal window) and
// takes that window.

#include "desktopstart.h"
#include "mainform.h"
#include "screenshotdemo.h"
#include "screenshotpreview.h"

#include "app/commandline.h"
#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/project/newmod2messageform.h"
#include "ui/schedule/schedule.h"
#include "ui/sending/deleteform.h"
#include "ui/sending/logs.h"
#include "ui/sending/saveform.h"
#include "project/listtable.h"
#include "ui/listtools/editab.h"
#include "ui/listtools/filterform.h"
#include "ui/listtools/removeduplicatesform.h"
#include "ui/listtools/replaceform.h"
#include "ui/listtools/impparlowen.h"
#include "ui/listtools/impvznload.h"
#include "sending/xlsxexport.h"
#include "ui/common/messagebox.h"
#include "ui/extract/fasform.h"
#include "ui/extract/fasmodels.h"
#include "ui/verify/verifyform.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMdiSubWindow>
#include <QTimer>

#include <cstdio>

using namespace varnholt;

namespace {

struct Request {
    QString window;
    QString file;
    QString project;
    QString page;
    QString language;
};

// The arguments besides --home DIR and --lang NAME: WINDOW FILE [PROJECT [PAGE]].
std::optional<Request> parseRequest(const QStringList &arguments)
{
    QStringList rest;
    QString language;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == u"--home")
            ++i;
        else if (arguments[i] == u"--lang" && i + 1 < arguments.size())
            language = arguments[++i];
        else if (!arguments[i].startsWith(u"--home="))
            rest << arguments[i];
    }
    if (rest.size() < 2 || rest.size() > 4)
        return std::nullopt;
    return Request{rest[0], rest[1], rest.value(2), rest.value(3), language};
}

// The dialogs of the sending window, opened on their own for a picture:
// "logs" (the newest send log of the program folder), "save", "delete",
// "schedule" (of `project`). Null for any other name.
QWidget *sendingDialog(const QString &name, const QString &project, QWidget *parent)
{
    if (name == u"logs") {
        const QFileInfoList logs = QDir(ProgramFolder::filePath(QStringLiteral("logs")))
                                       .entryInfoList({QStringLiteral("send_*.log")}, QDir::Files, QDir::Time);
        return new T_logs(logs.isEmpty() ? QString() : logs.first().filePath(), QStringLiteral("Ok"),
                          QStringLiteral("No"), parent);
    }
    if (name == u"save")
        return new T_SaveForm(saveDialogSettings(), parent);
    if (name == u"delete")
        return new T_DeleteForm(deleteDialogSettings(), parent);
    if (name == u"schedule") {
        TTaskObj task;
        TSeriesObj series;
        task.Load(project);
        series.Load(project);
        return new T_Schedule(task, series, parent);
    }
    return nullptr;
}

// The list import windows on sample files in a scratch folder: the wizard
// on a spreadsheet's CSV (delimiter page) or a fixed-width file (column
// breaks), the address-book window on a folder with two named books.
QWidget *listImportWindow(const QString &name, QWidget *parent)
{
    static QTemporaryDir scratch;
    static ListTable table;
    auto write = [](const QString &file, const QByteArray &bytes) {
        QFile f(scratch.filePath(file));
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes);
        return f.fileName();
    };
    if (name == u"importwizard" || name == u"importbreaks" || name == u"importtype") {
        const bool fixed = name == u"importbreaks";
        const QString file =
            fixed ? write(QStringLiteral("customers.txt"),
                          "Anna      Berger     anna.berger@example.com     Berlin\r\n"
                          "Bernd     Krause     b.krause@example.org        Hamburg\r\n"
                          "Carla     Lindqvist  carla@example.net           Köln\r\n")
                  : write(QStringLiteral("customers.csv"),
                          "email,first,last,company,city\r\n"
                          "anna.berger@example.com,Anna,Berger,\"Berger & Sons, Ltd\",Berlin\r\n"
                          "b.krause@example.org,Bernd,Krause,\"The \"\"Blue\"\" Shop\",Hamburg\r\n"
                          "carla@example.net,Carla,Lindqvist,,\"Köln\"\r\n");
        auto *wizard = new TImpVznLoad(table, u';', parent);
        wizard->fileEdit()->setText(file);
        wizard->nextButton()->click();
        if (name == u"importtype")
            return wizard;
        if (fixed) {
            wizard->fixedButton()->setChecked(true);
            wizard->nextButton()->click();
            for (int position : {9, 20, 48})
                wizard->toggleBreak(position);
        } else {
            wizard->startRowBox()->setValue(2);
            wizard->nextButton()->click();
            wizard->delimiterBox(';')->setChecked(false);
            wizard->delimiterBox(',')->setChecked(true);
        }
        return wizard;
    }
    if (name == u"importsheet") {
        const QString book = scratch.filePath(QStringLiteral("customers.xlsx"));
        writeXlsxWorkbook(book, QStringLiteral("Customers"), {"E-mail", "First name", "Last name", "Zip", "City"},
                          {{"anna.berger@example.com", "Anna", "Berger", "01067", "Dresden"},
                           {"b.krause@example.org", "Bernd", "Krause", "20095", "Hamburg"},
                           {"carla@example.net", "Carla", "Lindqvist", "50667", "Köln"}});
        auto *wizard = new TImpVznLoad(table, u';', parent);
        wizard->fileEdit()->setText(book);
        wizard->nextButton()->click();
        wizard->titlesBox()->setChecked(true);
        return wizard;
    }
    if (name == u"addressbook") {
        write(QStringLiteral("ListAB.lab"), "1^Customers^cust^^^^\r\n2^Newsletter 2024^news^^^^\r\n");
        auto *window = new TImpParlowen(table, parent);
        window->setFolder(scratch.path());
        return window;
    }
    return nullptr;
}

// The list tools on the open project's list: "dedupe" with two fields
// ticked, "filter" with a few keywords, "replace" with a few pairs.
QWidget *listToolWindow(const QString &name, TMainForm &main)
{
    TNewMod2MessageForm *project = main.projectWindow();
    if (!project)
        return nullptr;
    ListTable &table = project->project().table();
    if (name == u"listeditor") {
        auto *window = new TEditAB(table, project->project().listFile(), QStringLiteral(";"), &main);
        window->resize(1000, 600);
        return window;
    }
    if (name == u"dedupe") {
        auto *window = new TfUni(table, &main);
        window->setTickedColumns({0, 2});
        return window;
    }
    if (name == u"filter") {
        auto *window = new TFilterForm1(table, project->project().folder(), &main);
        const char *words[] = {"marie@example.com", "unsubscribed@example.org", "bounced@example.net"};
        window->keywords().setRowCount(3);
        for (int i = 0; i < 3; ++i)
            window->keywords().setCell(i, 0, QString::fromLatin1(words[i]));
        return window;
    }
    if (name == u"replace") {
        static QTemporaryDir scratch;
        QFile pairs(scratch.filePath(QStringLiteral("domains.txt")));
        if (pairs.open(QIODevice::WriteOnly))
            pairs.write("@example.com;@example.org\r\n@exmaple.net;@example.net\r\nBremen;Hamburg\r\n");
        pairs.close();
        auto *window = new TReplaceForm(table, &main);
        window->loadReplaceFile(pairs.fileName());
        return window;
    }
    return nullptr;
}

// The verification's MX queries answered from a script: example.org has
// two mail servers, example.com none, the query for example.net fails,
// and anything else is never answered (its row times out).
class ScriptedMxQuery : public MxQuery
{
public:
    void start(const QString &, const QString &domain) override
    {
        const QString d = domain.toLower();
        if (d == u"example.org") {
            answerAfter(300, 0, {QStringLiteral("mx1.example.org"), QStringLiteral("mx2.example.org")});
        } else if (d == u"example.com") {
            answerAfter(1200, 0, {});
        } else if (d == u"example.net") {
            answerAfter(200, 10054, {});
        }
    }

private:
    void answerAfter(int milliseconds, int error, const QStringList &exchanges)
    {
        QTimer::singleShot(milliseconds, this, [this, error, exchanges] {
            emit done(error, int(exchanges.size()), exchanges.value(0), exchanges);
        });
    }
};

// The verification window on the open project's list, saved when its run
// has ended (the end's message box is not shown).
void ShowVerificationForScreenshot(TMainForm &main, const ScreenshotSaver &save)
{
    TNewMod2MessageForm *project = main.projectWindow();
    if (!project) {
        save(nullptr);
        return;
    }
    setMessageBoxHook([](const QString &, const QString &, int) { return int(idOk); });
    // As the project window opens it: on the bare addresses.
    const int column = project->project().settings().Column;
    project->project().table().normaliseAddresses(column);
    auto *form = new TVerifyForm(project->project(), column, [] { return std::make_unique<ScriptedMxQuery>(); },
                                 &main);
    form->findChild<QLineEdit *>(QStringLiteral("DNSEdit"))->setText(QStringLiteral("192.168.1.1"));
    form->findChild<QLineEdit *>(QStringLiteral("NumConnect"))->setText(QStringLiteral("5"));
    form->findChild<QSpinBox *>(QStringLiteral("udTimeOut"))->setValue(1);
    form->show();
    QObject::connect(&form->run(), &VerifyRun::finished, form,
                     [form, save] { QTimer::singleShot(300, form, [form, save] { save(form); }); });
    form->startVerification(false);
}

// The extraction window after a run over a few sample pages in a scratch
// folder: one record per "mailto:", the address (unique) and the link text.
void ShowExtractionForScreenshot(TMainForm &main, const ScreenshotSaver &save)
{
    static QTemporaryDir scratch;
    const QString pages = scratch.filePath(QStringLiteral("pages"));
    QDir().mkpath(pages);
    QDir().mkpath(pages + QStringLiteral("/archive"));
    const auto write = [&pages](const QString &name, const QByteArray &bytes) {
        QFile f(pages + u'/' + name);
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes);
    };
    write(QStringLiteral("team.htm"),
          "<html><body><h1>Our team</h1>\r\n"
          "<p><a href=\"mailto:anna.berger@example.com\">Anna Berger</a>, sales</p>\r\n"
          "<p><a href=\"mailto:b.krause@example.org\">Bernd Krause</a>, support</p>\r\n"
          "<p><a href=\"mailto:carla@example.net\">Carla Lindqvist</a>, accounts</p>\r\n</body></html>\r\n");
    write(QStringLiteral("contact.htm"),
          "<html><body><p>Write to <a href=\"mailto:info@example.com\">Info desk</a> or\r\n"
          "<a href=\"mailto:anna.berger@example.com\">Anna Berger</a>.</p></body></html>\r\n");
    write(QStringLiteral("partners.htm"),
          "<ul><li><a href=\"mailto:office@garden-example.org\">Garden Office</a></li>\r\n"
          "<li><a href=\"mailto:d.meyer@example.de\">Dora Meyer</a></li></ul>\r\n");
    write(QStringLiteral("archive/2023.htm"), "<p><a href=\"mailto:e.novak@example.cz\">Emil Novak</a></p>\r\n");
    write(QStringLiteral("readme.txt"), "Pages of the web site, copied for the newsletter list.\r\n");

    extract::ExtractConditions c;
    c.folder = pages;
    c.mask = QStringLiteral("*.htm");
    c.recordBegin = QStringLiteral("mailto:");
    c.items.assign(2, extract::rItem{});
    c.items[0].name = QStringLiteral("E-mail");
    c.items[0].begin = QStringLiteral("^Find@");
    c.items[0].unique = QStringLiteral("Yes");
    c.items[1].name = QStringLiteral("Name");
    c.items[1].begin = QStringLiteral(">");
    c.items[1].end = QStringLiteral("<");
    const QString conditions = scratch.filePath(QStringLiteral("offer.cnd"));
    extract::writeConditions(conditions, c);

    setMessageBoxHook([](const QString &, const QString &, int) { return int(idOk); });
    auto *form = new TfFas(conditions, TfFas::Mode::Interactive, &main);
    form->resize(1200, 760);
    form->show();
    form->fieldGrid()->setCurrentIndex(form->fieldModel()->index(0, 1));
    QObject::connect(&form->run(), &extract::ExtractRun::finished, form,
                     [form, save] { QTimer::singleShot(300, form, [form, save] { save(form); }); });
    QTimer::singleShot(300, form, &TfFas::extractData);
}

// Takes the modal window that is up by then, and closes it.
void saveModalLater(TMainForm &main, const ScreenshotSaver &save)
{
    QTimer::singleShot(1000, &main, [save] {
        QWidget *modal = QApplication::activeModalWidget();
        save(modal);
        if (modal)
            modal->close();
    });
}

void scheduleScreenshot(TMainForm &main, const Request &request)
{
    QTimer::singleShot(300, &main, [&main, request] {
        if (!request.project.isEmpty()) {
            QString path = request.project;
            main.OpenProject(path, false);
        }
        const ScreenshotSaver save = [request](QWidget *w) {
            const bool ok = w && w->grab().save(request.file);
            if (!ok)
                std::fprintf(stderr, "screenshot of %s failed\n", qPrintable(request.window));
            QCoreApplication::exit(ok ? 0 : 1);
        };
        if (request.window == u"htmleditor") {
            ShowHtmlEditorForScreenshot(main, save);
            return;
        }
        if (request.window == u"htmlimport") {
            ShowImportedPageForScreenshot(main, request.page, save);
            return;
        }
        if (request.window == u"preview") {
            ShowMessagePreviewForScreenshot(main, save);
            return;
        }
        if (request.window == u"connectiontest") {
            ShowConnectionTestForScreenshot(main, save);
            return;
        }
        if (request.window == u"verify") {
            ShowVerificationForScreenshot(main, save);
            return;
        }
        if (request.window == u"extract") {
            ShowExtractionForScreenshot(main, save);
            return;
        }
        if (request.window == u"sending") {
            ShowSendingRunForScreenshot(main, save);
            return;
        }
        if (request.window == u"sendingdirect") {
            ShowDirectSendingForScreenshot(main, save);
            return;
        }
        if (request.window == u"small") {
            // A small screen: the main window at 1024 x 600, the project
            // window in it at 800 x 600.
            QTimer::singleShot(300, &main, [&main, save] {
                main.resize(1024, 600);
                TNewMod2MessageForm *w = main.projectWindow();
                if (auto *sub = w ? qobject_cast<QMdiSubWindow *>(w->parentWidget()) : nullptr) {
                    sub->showNormal();
                    sub->move(0, 0);
                    sub->resize(sub->size() - w->size() + QSize(800, 600));
                }
                QTimer::singleShot(700, &main, [w, save] { save(w); });
            });
            return;
        }
        if (request.window == u"small-main") {
            QTimer::singleShot(300, &main, [&main, save] {
                main.resize(1024, 600);
                QTimer::singleShot(700, &main, [&main, save] { save(&main); });
            });
            return;
        }
        if (request.window == u"main" || request.window == u"project") {
            QTimer::singleShot(700, &main, [&main, request, save] {
                save(request.window == u"main" ? static_cast<QWidget *>(&main)
                                               : static_cast<QWidget *>(main.projectWindow()));
            });
            return;
        }
        if (request.window == u"attachments") {
            if (TNewMod2MessageForm *w = main.projectWindow())
                QTimer::singleShot(0, w, &TNewMod2MessageForm::editAttachments);
            saveModalLater(main, save);
            return;
        }
        if (QWidget *dialog = listToolWindow(request.window, main)) {
            dialog->show();
            QTimer::singleShot(700, &main, [dialog, save] { save(dialog); });
            return;
        }
        if (QWidget *dialog = listImportWindow(request.window, &main)) {
            dialog->show();
            QTimer::singleShot(700, &main, [dialog, save] { save(dialog); });
            return;
        }
        if (QWidget *dialog = sendingDialog(request.window, request.project, &main)) {
            dialog->show();
            QTimer::singleShot(700, &main, [dialog, save] { save(dialog); });
            return;
        }
        QAction *command = main.action(request.window);
        if (!command) {
            std::fprintf(stderr, "no window named %s\n", qPrintable(request.window));
            QCoreApplication::exit(2);
            return;
        }
        saveModalLater(main, save);
        command->trigger();
    });
}

} // namespace

int main(int argc, char **argv)
{
    prepareDesktopProcess();
    QApplication app(argc, argv); // takes Qt's own arguments away
    const std::optional<Request> request = parseRequest(QApplication::arguments());
    if (!request) {
        std::fprintf(stderr,
                     "usage: varnholt-screenshots [--home DIR] [--lang NAME] WINDOW FILE [PROJECT.eml [PAGE.htm]]\n");
        return 2;
    }
    startDesktopApplication(parseCommandLine(QApplication::arguments()).home);
    if (!request->language.isEmpty()) {
        TIniInfo &info = programSettings().iniInfo;
        info.LangFile = request->language;
        info.LangOn = true;
        info.LangInit = false;
    }

    TMainForm main;
    main.resize(1024, 768);
    main.show();
    scheduleScreenshot(main, *request);
    return QApplication::exec();
}
