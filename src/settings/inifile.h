#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// An INI file as the platform's profile routines see it: sections in square
// brackets, key=value lines. Section and key names are found without regard
// to letter case; the order of sections, keys, comments and blank lines is
// kept; values are trimmed and one pair of surrounding double quotes is
// removed on reading. The file is written with CR LF line ends, atomically.
namespace varnholt {

class IniFile
{
public:
    IniFile() = default;
    explicit IniFile(const QString &path) { load(path); }

    // Reads the file; a missing or unreadable file gives an empty INI and
    // false. Lines are decoded from the system charset.
    bool load(const QString &path);
    void parse(QByteArrayView text);
    [[nodiscard]] QByteArray serialize() const;
    // Writes to `path` (or the loaded path) through a temporary file.
    bool save(const QString &path = {}, QString *error = nullptr) const;

    [[nodiscard]] QString path() const { return m_path; }

    [[nodiscard]] bool hasSection(QStringView section) const;
    [[nodiscard]] bool contains(QStringView section, QStringView key) const;
    [[nodiscard]] QStringList sections() const;
    [[nodiscard]] QStringList keys(QStringView section) const;

    [[nodiscard]] QString value(QStringView section, QStringView key, const QString &def = {}) const;
    // Decimal (or 0x hexadecimal) integer; a missing or malformed value gives `def`.
    [[nodiscard]] int intValue(QStringView section, QStringView key, int def) const;
    // Any integer: non-zero is true; a missing or malformed value gives `def`.
    [[nodiscard]] bool boolValue(QStringView section, QStringView key, bool def) const;

    // Replaces the key's value in place, or appends the key to its section,
    // or appends the section to the file.
    void setValue(QStringView section, QStringView key, const QString &value);
    void setInt(QStringView section, QStringView key, int value);
    void setBool(QStringView section, QStringView key, bool value); // "1" / "0"
    void removeKey(QStringView section, QStringView key);
    void removeSection(QStringView section);

private:
    struct Line {
        QString key;   // empty for a comment or blank line
        QString value; // the raw text for a comment or blank line
    };
    struct Section {
        QString name; // empty for the lines before the first section
        QList<Line> lines;
    };

    [[nodiscard]] const Section *findSection(QStringView name) const;
    Section *findSection(QStringView name);
    [[nodiscard]] const Line *findLine(QStringView section, QStringView key) const;

    QString m_path;
    QList<Section> m_sections;
};

} // namespace varnholt
