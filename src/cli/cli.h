#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The command line front end: global options, a command word and its own
// options and arguments.
namespace varnholt::cli {

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

struct Invocation {
    bool json = false;
    QString home;
    QStringList words;              // command words and positional arguments
    QMultiHash<QString, QString> options; // "--name" -> value ("" for flags)

    [[nodiscard]] bool has(const QString &option) const { return options.contains(option); }
    [[nodiscard]] QString option(const QString &name, const QString &def = {}) const
    {
        return options.value(name, def);
    }
};

// Writes an error message to standard error and returns `code`.
int fail(const QString &message, int code = ExitFailed);

// Prints `doc` as JSON, or `text` as it is.
void print(const Invocation &inv, const QJsonObject &doc, const QString &text);

// "Tab", "Space", "\t" or one character.
[[nodiscard]] std::optional<QChar> parseDelimiter(const QString &text);

int runSettings(const Invocation &inv);
int runList(const Invocation &inv);
// `list import ...` and `list export ...` (words[1] is "import" or "export").
int runListImport(const Invocation &inv);
int runListExport(const Invocation &inv);
int runProject(const Invocation &inv);
int runSend(const Invocation &inv);
int runDryRun(const Invocation &inv, const QString &projectFile, const QString &folder);
int runPreview(const Invocation &inv);
int runResults(const Invocation &inv);
int runVerify(const Invocation &inv);
int runExtract(const Invocation &inv);

} // namespace varnholt::cli
