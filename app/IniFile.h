// A small Windows-style INI file: sections and keys are matched without regard
// to case, unknown content is kept as it stands, and writing a key changes only
// its own line (or appends it). Any content reads without failing.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// A Set.ini value that could not be read: where it is, the text found and the
// value the server uses instead.
struct TIniProblem {
    QString section;
    QString key;
    QString found;
    QString used;
    // The value is used as it stands although it holds " ;" or " #" (a
    // comment written after it, which INI files do not have).
    bool commentInValue = false;
};

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

    // Integer value: decimal, or "0x"/"0X" followed by hex digits; a missing
    // key gives the default, and so does anything else, which is also noted
    // as a problem.
    int IntValue(const QString &section, const QString &key, int defaultValue) const;

    // A text value used as it stands. One that looks as if a comment had
    // been written after it (" ;" or " #" inside, or ";"/"#" first) is
    // noted as a problem; secret: its text is not repeated in the note.
    std::optional<QString> TextValue(const QString &section, const QString &key,
                                     bool secret = false) const;

    // Values that could not be read since the file was loaded, in the order
    // they were met, each key once. A value keeps everything after the "="
    // (a "; comment" on the same line is part of it), so these say why a
    // setting did not take.
    const std::vector<TIniProblem> &Problems() const { return problems_; }
    void NoteProblem(const QString &section, const QString &key, const QString &found,
                     const QString &used) const;

    const QString &Path() const { return path_; }

    static constexpr qint64 MaxBytes = 1 << 20;

private:
    // Index of the line holding "[section]", or -1.
    int FindSection(const QString &section) const;
    // Index of the key's line inside the section starting at sectionLine, or -1.
    int FindKey(int sectionLine, const QString &key) const;

    QString path_;
    QStringList lines_;
    // Noted by the const readers: reading a setting is what finds the problem.
    mutable std::vector<TIniProblem> problems_;
};

// "Set.ini [Set] Key: "text" cannot be read; using value" (with a hint when
// the text holds a ";" comment).
QString DescribeIniProblem(const TIniProblem &problem);

// Parses an INI integer as IniFile::IntValue does; nullopt when it is not one.
std::optional<int> ParseIniInt(const QString &text);
