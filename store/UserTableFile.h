// The account file (.hd): the tables UserRegister and UserEquipment as text,
// moved between servers and the existing clients' tools.
//
// A block per table:
//   Table:<name>#@<row count>
//   Field:<column>#@<column>#@...
//   ContentValue:<value>#@<value>#@...      (one line per row)
// Lines end with CR LF, the last one too; the text is in the server's 8-bit
// code page without a byte-order mark. Nothing is escaped, so a value holding
// "#@" or a line break cannot be written.
//
// This unit only turns blocks into bytes and back; it knows no database, so
// the parser can be driven by a fuzz target on its own.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <vector>

struct TTableBlock {
    QString TableName;
    QStringList Fields;
    // One list per row with exactly one value per field, in field order. An
    // empty value is a NULL on export and an unassigned column on import.
    std::vector<QStringList> Rows;
};

// The lines of the blocks, in order. Nothing when a name or value cannot be
// represented (it holds "#@", a carriage return or a line feed).
std::optional<QStringList> UserTableFileLines(const std::vector<TTableBlock> &blocks);

// The whole file: every line ended by CR LF, encoded in codePage. Nothing when
// a value cannot be represented or the code page cannot encode a character.
std::optional<QByteArray> EncodeUserTableFile(const std::vector<TTableBlock> &blocks,
                                              const QString &codePage);

// The text of a file: a byte-order mark selects UTF-8 or UTF-16 (and is
// dropped); otherwise the bytes are read in codePage. Nothing when the code
// page is unknown.
std::optional<QString> DecodeUserTableFile(QByteArrayView bytes, const QString &codePage);

// The encoding the bytes are more likely in than codePage: "UTF-8" for a
// file without a byte-order mark whose non-ASCII bytes are all valid UTF-8
// (an editor's default save), when codePage is not UTF-8 itself. Nothing
// otherwise.
std::optional<QString> LikelyOtherEncoding(QByteArrayView bytes, const QString &codePage);

// Bounds of an account file: its size (checked before it is read), the
// columns of a table and the characters of one name or value. The account
// tables are small; a file beyond these is not one.
inline constexpr qint64 MaxUserTableFileBytes = qint64(256) << 20;
inline constexpr qsizetype MaxUserTableFields = 256;
inline constexpr qsizetype MaxUserTableValueChars = 4096;

// Parses the text into its blocks. Blank lines after the last block end the
// file. Nothing (with the reason in *error, a text to show) when the last
// line has no line break, a block does not begin with a table line, its row
// count is not a decimal number, fewer content lines follow than it
// announces, a column is named twice, a field or content line does not end
// with "#@" (the file was cut inside it), a row has more or fewer values than
// there are columns, or a name or value passes the bounds above; no block is
// returned then. Memory stays in proportion to the text whatever the
// announced counts.
std::optional<std::vector<TTableBlock>> ParseUserTableFile(QStringView text,
                                                           QString *error = nullptr);
