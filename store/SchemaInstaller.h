// Creating a database: the schema scripts of db/ (compiled into the program)
// and the shipped dictionary rows.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// The schema script for a database kind (1 SQLite, 2 SQL Server, 3 PostgreSQL);
// empty for an unknown kind.
QString SchemaScript(quint8 dataBaseType);
// The dictionary data script shared by every kind.
QString DataScript();

// Cuts a script into statements: a statement ends with the line whose last
// non-blank character is ";" (the ";" is dropped); lines starting with "--"
// and blank lines are skipped; text after the last ";" is a final statement.
QStringList SplitSqlScript(const QString &script);

// Runs the schema script (and the data script when withData) on an open,
// empty database, all in one transaction. Throws DbError naming the failing
// statement; nothing is left behind then.
void InstallSchema(QSqlDatabase db, quint8 dataBaseType, bool withData = true);

// Creates the SQLite file with every table and (withData) the dictionary rows.
// Refuses an existing file (false, message names the path, file untouched);
// on any other failure no file is left behind (false, message says why).
bool InitDatabaseFile(const QString &path, bool withData, QString *message);
