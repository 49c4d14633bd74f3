#include "cli.h"

#include "settings/programfolder.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTextStream>

#include <clocale>
#include <csignal>
#include <cstdio>

namespace varnholt::cli {

namespace {

const char usageText[] =
    "Usage: varnholt-cli [--home DIR] [--json] COMMAND ...\n"
    "\n"
    "Commands:\n"
    "  settings                        program-wide settings, mail accounts (passwords\n"
    "                                  masked) and SMTP status codes\n"
    "  list stats FILE --delimiter C   load a list file; print records, columns, load time\n"
    "  list dedupe LIST|--project PROJECT.eml --column N [--column N ...] [--output FILE]\n"
    "                                  remove records whose column N repeats an earlier\n"
    "                                  record's value (letter case ignored)\n"
    "  list filter LIST|--project PROJECT.eml --column N --keywords FILE\n"
    "              [--keywords-delimiter C] [--mode equal|contains] [--removed FILE.del]\n"
    "              [--output FILE]     remove records whose column N equals (A-Z without\n"
    "                                  case) or contains a keyword (the keyword file's\n"
    "                                  first column)\n"
    "  list replace LIST|--project PROJECT.eml --pairs FILE [--pairs-delimiter C]\n"
    "              [--case-sensitive] [--column N] [--output FILE]\n"
    "                                  replace old values by new ones in column N (default\n"
    "                                  1); the pairs file holds \"old;new\" lines\n"
    "                                  LIST is read with --delimiter (default \";\"), a project's\n"
    "                                  list with its own; without --output the list is\n"
    "                                  written back in place; --force saves a list that\n"
    "                                  was not read whole; --json prints a summary\n"
    "  list import SOURCE --format delimited|fixed|dbase|spreadsheet\n"
    "              [--delimiter C ...] [--consecutive] [--csv] [--breaks N,N,...]\n"
    "              [--origin windows|dos] [--start-row N] [--replace-delimiter C]\n"
    "              [--sheet NAME] [--titles] [--range A1:H100]\n"
    "              (--output FILE [--list-delimiter C] | --project PROJECT.eml [--force])\n"
    "                                  import a text file (delimiters ; by default; --csv\n"
    "                                  reads quoted fields; --consecutive takes a run of\n"
    "                                  delimiters as one), a fixed-width file (a column\n"
    "                                  ends after each character position of --breaks) or\n"
    "                                  a dBASE table from line or record --start-row into\n"
    "                                  a new list file, or append it to a project's list\n"
    "                                  (filling it when blank); --origin dos converts from\n"
    "                                  the OEM code page. --format spreadsheet reads a\n"
    "                                  workbook (.xlsx, .ods, .xls): the sheet NAME (the\n"
    "                                  first by default), the cells of --range, the first\n"
    "                                  row left out as titles with --titles; cells as\n"
    "                                  shown (dates in the system's short form, formulas\n"
    "                                  as their results), empty rows left out. A field\n"
    "                                  holding the list's delimiter or a line break is\n"
    "                                  refused unless --replace-delimiter C puts C in\n"
    "                                  its place (line breaks become blanks)\n"
    "  list export LIST|PROJECT.eml --xlsx FILE [--delimiter C]\n"
    "                                  write the list as a spreadsheet workbook\n"
    "  project show PROJECT.eml        print a project's settings, list and attachments\n"
    "  send PROJECT.eml --dry-run DIR  write every merged message to DIR/000001.eml, ...\n"
    "                                  (row number) as it would go to the server\n"
    "  send PROJECT.eml [--results FILE] [--trace FILE]\n"
    "                  [--resume [--resend-unknown] | --from-row N | --restart]\n"
    "                  [--connections N] [--direct [--dns HOST[:PORT]] [--smtp-port N]]\n"
    "                  [--retry N --retry-after MINUTES]\n"
    "                                  send the mailing through the project's account\n"
    "                                  (N connections at once, commands pipelined when\n"
    "                                  the server offers it), or with --direct straight\n"
    "                                  to each recipient's mail server (port 25 unless\n"
    "                                  --smtp-port; N connections);\n"
    "                                  --retry tries a temporary refusal (4xx, or a\n"
    "                                  connection lost before the message went out)\n"
    "                                  N more times, MINUTES apart, after the other\n"
    "                                  rows; a 421 pauses the run that long (default:\n"
    "                                  the project's RetryCount and RetryMinutes);\n"
    "                                  Ctrl+C stops after the messages on the way\n"
    "  preview PROJECT.eml --row N     print the merged message of record row N\n"
    "  results PROJECT.eml --delete sent|unsent|codes:550,551 [--force]\n"
    "                                  delete rows of the last run from the list;\n"
    "                                  --force saves a list that was not read whole\n"
    "  verify PROJECT.eml [--dns HOST[:PORT]] [--connections N] [--timeout S]\n"
    "                  [--delete-unavailable [--force]] [--save FILE]\n"
    "                                  check every address's domain by an MX query;\n"
    "                                  exit 1 when some are unavailable or unanswered\n"
    "  extract CONDITIONS.cnd [--output FILE] [--delimiter C]\n"
    "                                  run a saved extraction conditions file: one line\n"
    "                                  per row, the file name and its values separated\n"
    "                                  by C (default \";\")\n"
    "  extract --find emails|urls|domains FOLDER [--mask MASK] [--unique]\n"
    "                  [--output FILE]\n"
    "                                  every e-mail address, URL or domain in the files\n"
    "                                  of FOLDER and its subfolders that match MASK\n"
    "                                  (default *.*; several separated by \";\"), one a\n"
    "                                  line; --unique leaves out repeats (letter case\n"
    "                                  ignored). Special files, unreadable files and\n"
    "                                  link loops are skipped and counted; Ctrl+C stops\n"
    "                                  and keeps what was found (exit 1)\n"
    "\n"
    "Options:\n"
    "  --home DIR     use DIR as the program folder (settings, logs, language files)\n"
    "  --json         print one JSON document instead of text\n"
    "  --help         show this help\n"
    "  --version      show the version\n"
    "\n"
    "A delimiter is one character, or Tab or Space.\n"
    "Exit codes: 0 success (send: every row sent), 1 failure (send: some rows\n"
    "failed), 2 usage or set-up error.\n";

// Options that take a value; every other "--name" is a flag.
const QStringList valueOptions = {QStringLiteral("--home"), QStringLiteral("--delimiter"),
                                  QStringLiteral("--results"), QStringLiteral("--from-row"),
                                  QStringLiteral("--dry-run"), QStringLiteral("--row"),
                                  QStringLiteral("--delete"), QStringLiteral("--trace"),
                                  // list import / export
                                  QStringLiteral("--format"), QStringLiteral("--origin"),
                                  QStringLiteral("--start-row"), QStringLiteral("--breaks"),
                                  QStringLiteral("--output"), QStringLiteral("--project"),
                                  QStringLiteral("--list-delimiter"), QStringLiteral("--replace-delimiter"),
                                  QStringLiteral("--xlsx"), QStringLiteral("--sheet"), QStringLiteral("--range"),
                                  // list dedupe / filter / replace
                                  QStringLiteral("--column"), QStringLiteral("--keywords"),
                                  QStringLiteral("--keywords-delimiter"), QStringLiteral("--mode"),
                                  QStringLiteral("--removed"), QStringLiteral("--pairs"),
                                  QStringLiteral("--pairs-delimiter"),
                                  // verify, send --direct
                                  QStringLiteral("--dns"), QStringLiteral("--connections"),
                                  QStringLiteral("--timeout"), QStringLiteral("--save"),
                                  QStringLiteral("--smtp-port"),
                                  // send
                                  QStringLiteral("--retry"), QStringLiteral("--retry-after"),
                                  // extract
                                  QStringLiteral("--find"), QStringLiteral("--mask")};

std::optional<Invocation> parse(const QStringList &args, QString *error)
{
    Invocation inv;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == u"--") {
            inv.words += args.mid(i + 1);
            break;
        }
        if (a.startsWith(u"--") && a.size() > 2) {
            QString name = a, value;
            const qsizetype eq = a.indexOf(u'=');
            if (eq > 0) {
                name = a.first(eq);
                value = a.mid(eq + 1);
            } else if (valueOptions.contains(a)) {
                if (i + 1 >= args.size()) {
                    *error = QStringLiteral("option %1 needs a value").arg(a);
                    return std::nullopt;
                }
                value = args[++i];
            }
            if (name == u"--json")
                inv.json = true;
            else if (name == u"--home")
                inv.home = value;
            inv.options.insert(name, value);
        } else if (a == u"-h") {
            inv.options.insert(QStringLiteral("--help"), {});
        } else {
            inv.words.append(a);
        }
    }
    return inv;
}

} // namespace

int fail(const QString &message, int code)
{
    QTextStream err(stderr);
    err << "varnholt-cli: " << message << '\n';
    return code;
}

void print(const Invocation &inv, const QJsonObject &doc, const QString &text)
{
    QTextStream out(stdout);
    if (inv.json)
        out << QJsonDocument(doc).toJson(QJsonDocument::Indented);
    else
        out << text;
}

std::optional<QChar> parseDelimiter(const QString &text)
{
    if (text.compare(u"Tab", Qt::CaseInsensitive) == 0 || text == u"\\t")
        return QChar(u'\t');
    if (text.compare(u"Space", Qt::CaseInsensitive) == 0)
        return QChar(u' ');
    if (text.size() == 1)
        return text[0];
    return std::nullopt;
}

int run(const QStringList &args)
{
    QString error;
    const auto inv = parse(args, &error);
    if (!inv)
        return fail(error + QStringLiteral(" (see --help)"), ExitUsage);
    if (inv->has(QStringLiteral("--help"))) {
        QTextStream(stdout) << usageText;
        return ExitOk;
    }
    if (inv->has(QStringLiteral("--version"))) {
        QTextStream(stdout) << "varnholt-cli " << VARNHOLT_VERSION << '\n';
        return ExitOk;
    }
    if (inv->words.isEmpty())
        return fail(QStringLiteral("no command given (see --help)"), ExitUsage);

    ProgramFolder::initialise(inv->home);
    const QString command = inv->words.first();
    if (command == u"settings")
        return runSettings(*inv);
    if (command == u"list")
        return runList(*inv);
    if (command == u"project")
        return runProject(*inv);
    if (command == u"send")
        return runSend(*inv);
    if (command == u"preview")
        return runPreview(*inv);
    if (command == u"results")
        return runResults(*inv);
    if (command == u"verify")
        return runVerify(*inv);
    if (command == u"extract")
        return runExtract(*inv);
    return fail(QStringLiteral("unknown command \"%1\" (see --help)").arg(command), ExitUsage);
}

} // namespace varnholt::cli

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    // A reader that goes away (`send ... | head`) must not kill a run
    // between a message and its journal line: writes then fail instead, and
    // the run stops cleanly.
    std::signal(SIGPIPE, SIG_IGN);
    // Qt's own event dispatcher instead of the GLib one: nothing here needs
    // GLib's main loop, and each wake-up (every server reply) then costs one
    // ppoll and less bookkeeping. It is read when the application object is
    // made, so it must be set before; a value from the environment wins.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varnholt"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNHOLT_VERSION));
    return varnholt::cli::run(QCoreApplication::arguments());
}
