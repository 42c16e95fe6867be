// Export and import of the account tables UserRegister and UserEquipment
// through the account file (UserTableFile): used by the user table window and
// by the command line of a server that is not running.
#pragma once

#include "NetD.h"
#include "UserTableFile.h"

#include <QDateTime>
#include <QString>

#include <vector>

// The account tables, in the order the file holds them.
inline const QStringList UserTableNames = {QStringLiteral("UserRegister"),
                                           QStringLiteral("UserEquipment")};

class TUserTableTransfer {
public:
    explicit TUserTableTransfer(TdmNet &db) : db_(db) {}

    // Every row of one account table as a block: the columns in the order
    // the database returns them (under the names the schema gives them),
    // date-time values as the server's date-time text, NULL as empty.
    // Throws DbError, also for a table that is not an account table.
    TTableBlock ExportDataTable(const QString &TableName);

    // Replaces the tables of the blocks by their rows, all blocks in one
    // transaction: on any failure nothing has changed. Only the account
    // tables and their own columns are accepted. An empty value leaves its
    // column to the table's default. Returns the table names, each followed
    // by a blank. Throws DbError.
    QString ImportDataTable(const std::vector<TTableBlock> &blocks);

private:
    TdmNet &db_;
};

// Outcome of a file operation: Message is empty on success, else the text
// shown to the operator; Detail says why, for the log or standard error.
struct TUserTableFileResult {
    QString Message;
    QString Detail;
    QString Imported; // import: the names of the tables replaced
    // import: the file was read in the code page but looks like another
    // encoding (names may be garbled); empty when not.
    QString Warning;
    bool Ok() const { return Message.isEmpty(); }
};

// Writes both account tables to the file (overwritten), encoded in codePage.
TUserTableFileResult ExportUserTableFile(TdmNet &db, const QString &path, const QString &codePage);
// Replaces both account tables from the file (a byte-order mark selects
// UTF-8 or UTF-16, else codePage). A file larger than MaxUserTableFileBytes,
// one that cannot be parsed or lacks one of the two tables, or any failure in
// the database, leaves both tables as they were; Detail says why.
TUserTableFileResult ImportUserTableFile(TdmNet &db, const QString &path, const QString &codePage);

// A date-time of the account file: in the short-date layout (sysShortDate),
// with " HH:mm:ss" or without a time, or in ISO form (yyyy-MM-dd, with a
// time after a blank or a "T"). A two-digit year falls in 1950..2049, as on
// the platform the files come from. Invalid when it is none of these.
QDateTime ReadAccountDateTime(const QString &text);

inline constexpr const char *ExportFailText = "Export the user table fail.";
inline constexpr const char *ImportFailText = "Import the table fail.";
