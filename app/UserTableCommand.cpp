#include "UserTableCommand.h"

#include "Configuration.h"
#include "HomeLock.h"
#include "IniFile.h"
#include "NetD.h"
#include "UserTableTransfer.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

void Print(std::FILE *to, const QString &text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

} // namespace

bool ParseUserTableOption(int argc, char **argv, int &i, TUserTableCommand &command,
                          QString &error) {
    const QString a = QString::fromLocal8Bit(argv[i]);
    const struct {
        QLatin1String name;
        TUserTableCommand::Kind kind;
    } options[] = {{QLatin1String("--export-users"), TUserTableCommand::Kind::Export},
                   {QLatin1String("--import-users"), TUserTableCommand::Kind::Import}};
    for (const auto &o : options) {
        if (a == o.name) {
            if (i + 1 >= argc) {
                error = o.name + QStringLiteral(" needs a file");
                return true;
            }
            command = {o.kind, QString::fromLocal8Bit(argv[++i])};
            return true;
        }
        if (a.startsWith(o.name + QLatin1Char('='))) {
            command = {o.kind, a.mid(o.name.size() + 1)};
            if (command.file.isEmpty())
                error = o.name + QStringLiteral(" needs a file");
            return true;
        }
    }
    return false;
}

int RunUserTableCommand(const QString &home, const TUserTableCommand &command) {
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
