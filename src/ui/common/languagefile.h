#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

// A language file ("deutsch.lan"): an INI file with one section per window,
// key=value lines in it. Qt Core only.
//
// Encoding: UTF-8. A line whose bytes are not valid UTF-8 is read as
// Latin-1, line by line, so an older 8-bit file (or one broken line) still
// reads; a UTF-8 byte order mark is skipped and a file starting with a
// UTF-16 byte order mark is read as UTF-16. Files are written in UTF-8 with
// CR LF line ends, atomically.
//
// Reading never fails on content: CR LF, LF and CR end lines, a line
// without "=" or with a NUL byte or other binary bytes is kept but gives no
// entry, and a line of any length is read. Section and key names are found
// without regard to letter case; a value is trimmed and one pair of
// surrounding double quotes is removed (so " x " can be written as "\" x \"").
//
// Not IniFile: that one decodes in the locale's charset and stops at a NUL
// byte, and its key look-up is linear per key; a translation reads a whole
// section in file order at once.
namespace varnholt {

class LanguageFile
{
public:
    struct Entry {
        QString key;
        QString value;
        friend bool operator==(const Entry &, const Entry &) = default;
    };

    LanguageFile() = default;

    // Reads the file; a missing or unreadable file gives an empty file and false.
    bool load(const QString &path);
    void parse(QByteArrayView bytes);

    // The key=value lines of the first section named `section`, in file order.
    [[nodiscard]] QList<Entry> section(QStringView section) const;
    [[nodiscard]] bool hasSection(QStringView section) const;

    // Sets keys of a section: an existing key (any letter case) gets the new
    // value in place, a new key goes after the section's last key, a missing
    // section is appended. Other keys and lines stay as they are. A value's
    // line breaks become blanks: a value never starts a new line.
    void setValues(QStringView section, const QList<Entry> &entries);

    [[nodiscard]] QByteArray serialize() const;
    bool save(const QString &path, QString *error = nullptr) const;

    [[nodiscard]] const QStringList &lines() const { return m_lines; }

    // One line's bytes as text: UTF-8 when valid, else Latin-1; NUL becomes U+FFFD.
    [[nodiscard]] static QString decodeLine(QByteArrayView line);

private:
    // Index of the header line of the first section named `name`, or -1.
    [[nodiscard]] qsizetype findSection(QStringView name) const;
    // Index one past the last line of the section whose header is at `header`.
    [[nodiscard]] qsizetype sectionEnd(qsizetype header) const;

    QStringList m_lines;
};

} // namespace varnholt
