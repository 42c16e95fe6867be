#include "UserTableCommand.h"

#include "Configuration.h"
#include "HomeLock.h"
#include "IniFile.h"
#include "NetD.h"
#include "PublicU.h"
#include "UserRegisterTable.h"
#include "UserTableTransfer.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <optional>

namespace {

void Print(std::FILE *to, const QString &text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

QString NeedsText(TUserTableCommand::Kind kind) {
    return kind == TUserTableCommand::Kind::AddSuperUser ? QStringLiteral(" needs a user name")
                                                         : QStringLiteral(" needs a file");
}

// The first line of `from`, without its line end; nothing when there is none
// or it is longer than a password can be.
std::optional<QString> ReadPasswordLine(std::FILE *from) {
    char buffer[256];
    if (!std::fgets(buffer, sizeof buffer, from))
        return std::nullopt;
    QString line = QString::fromLocal8Bit(buffer);
    if (!line.endsWith(QLatin1Char('\n')) && !std::feof(from))
        return std::nullopt;
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

// Adds the super user `name` with the password read from `password`.
int AddSuperUser(TdmNet &db, const QString &name, std::FILE *password) {
    const std::optional<QString> secret = ReadPasswordLine(password);
    if (!secret || secret->isEmpty()) {
        Print(stderr, QStringLiteral("No password: give it as the first line of standard input "
                                     "(at most 254 characters)."));
        return 1;
    }
    try {
        TUserRegisterTable users(db);
        if (users.Exists(name)) {
            Print(stderr, QStringLiteral("The user name %1 is taken.").arg(name));
            return 1;
        }
        users.AddSuperUser(name, *secret, NowToSecond());
    } catch (const std::exception &e) {
        Print(stderr, QStringLiteral("The super user could not be added: ") +
                          QString::fromStdString(e.what()));
        return 1;
    }
    Print(stdout, QStringLiteral("Super user %1 added.").arg(name));
    return 0;
}

} // namespace

bool ParseUserTableOption(int argc, char **argv, int &i, TUserTableCommand &command,
                          QString &error) {
    const QString a = QString::fromLocal8Bit(argv[i]);
    const struct {
        QLatin1String name;
        TUserTableCommand::Kind kind;
    } options[] = {{QLatin1String("--export-users"), TUserTableCommand::Kind::Export},
                   {QLatin1String("--import-users"), TUserTableCommand::Kind::Import},
                   {QLatin1String("--add-super-user"), TUserTableCommand::Kind::AddSuperUser}};
    for (const auto &o : options) {
        if (a == o.name) {
            if (i + 1 >= argc) {
                error = o.name + NeedsText(o.kind);
                return true;
            }
            command = {o.kind, QString::fromLocal8Bit(argv[++i])};
            return true;
        }
        if (a.startsWith(o.name + QLatin1Char('='))) {
            command = {o.kind, a.mid(o.name.size() + 1)};
            if (command.file.isEmpty())
                error = o.name + NeedsText(o.kind);
            return true;
        }
    }
    return false;
}

int RunUserTableCommand(const QString &home, const TUserTableCommand &command,
                        std::FILE *password) {
    // Held until the operation ends, so that a server started meanwhile
    // cannot take the home either.
    THomeLock lock;
    if (!lock.TryLock(home)) {
        Print(stderr, QString::fromLatin1(ServerRunningText));
        return 1;
    }
    CheckDateSetTimeFormat();
    const IniFile ini(QDir(home).filePath(QStringLiteral("Set.ini")));
    const ExtraOptions extra = ReadExtraOptions(ini);
    TdmNet db(ChooseDatabase(home, ini));
    try {
        db.Open();
    } catch (const std::exception &e) {
        Print(stderr, QString::fromLatin1(OpenDatabaseErrorText));
        Print(stderr, QString::fromStdString(e.what()));
        return 1;
    }
    if (command.kind == TUserTableCommand::Kind::AddSuperUser)
        return AddSuperUser(db, command.file, password);
    // A relative file name is taken from the working folder, as any
    // command-line tool takes it.
    const QString file = QFileInfo(command.file).absoluteFilePath();
    const TUserTableFileResult r = command.kind == TUserTableCommand::Kind::Export
                                       ? ExportUserTableFile(db, file, extra.codePage)
                                       : ImportUserTableFile(db, file, extra.codePage);
    if (!r.Ok()) {
        Print(stderr, r.Message);
        if (!r.Detail.isEmpty() && r.Detail != r.Message)
            Print(stderr, r.Detail);
        return 1;
    }
    if (command.kind == TUserTableCommand::Kind::Export)
        Print(stdout, QStringLiteral("The user table is exported successfully."));
    else
        Print(stdout, QStringLiteral("Imported: ") + r.Imported.trimmed());
    if (!r.Warning.isEmpty())
        Print(stderr, r.Warning);
    return 0;
}
