// A small Windows-style INI file: sections and keys are matched without regard
// to case, unknown content is kept as it stands, and writing a key changes only
// its own line (or appends it). Any content reads without failing.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class IniFile {
public:
    explicit IniFile(QString path);

    // Re-reads the file; a missing or unreadable file reads as empty. Files
    // larger than MaxBytes are read up to that size only.
    void Load();
    // Writes the lines back; false when the file cannot be written.
    bool Save() const;

    std::optional<QString> Value(const QString &section, const QString &key) const;
    void SetValue(const QString &section, const QString &key, const QString &value);

    // Integer value: decimal, or "0x"/"0X" followed by hex digits; anything
    // else (or a missing key) gives the default.
    int IntValue(const QString &section, const QString &key, int defaultValue) const;

    const QString &Path() const { return path_; }

    static constexpr qint64 MaxBytes = 1 << 20;

private:
    // Index of the line holding "[section]", or -1.
    int FindSection(const QString &section) const;
    // Index of the key's line inside the section starting at sectionLine, or -1.
    int FindKey(int sectionLine, const QString &key) const;

    QString path_;
    QStringList lines_;
};

// Parses an INI integer as IniFile::IntValue does; nullopt when it is not one.
std::optional<int> ParseIniInt(const QString &text);
