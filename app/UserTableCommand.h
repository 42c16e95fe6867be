// The account operations of the command line, for servers without a window:
// --export-users FILE, --import-users FILE and --add-super-user NAME against
// the database of a home folder on which no server runs.
#pragma once

#include <QString>

#include <cstdio>

struct TUserTableCommand {
    enum class Kind { None, Export, Import, AddSuperUser };
    Kind kind = Kind::None;
    QString file; // the account file, or the new super user's name
};

// Recognises --export-users FILE, --import-users FILE, --add-super-user NAME
// and their "=" forms at argv[i]; advances i past a separate value. Sets
// *error when the value is missing. False when the argument is not one of
// them.
bool ParseUserTableOption(int argc, char **argv, int &i, TUserTableCommand &command,
                          QString &error);

// Runs the operation against the database of the home folder (Set.ini picks
// it as at start-up). Refused while a server holds the home's lock. A new
// super user's password is the first line of `password` (standard input),
// so that it shows in no process list or shell history. Returns the exit
// code: 0 done, 1 failed (the window's failure text on stderr).
int RunUserTableCommand(const QString &home, const TUserTableCommand &command,
                        std::FILE *password = stdin);

inline constexpr const char *ServerRunningText =
    "A server is running on this home folder; stop it before exporting or importing the user "
    "table.";
