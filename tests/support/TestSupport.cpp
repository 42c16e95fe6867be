#include "TestSupport.h"

#include "NormalParamTable.h"
#include "SchemaInstaller.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUuid>

#include <csignal>

#include <sqlite3.h>
#include <sys/resource.h>

namespace mmstest {

bool PumpEventsUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeout.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

namespace {
QString Env(const char *name) {
    return qEnvironmentVariable(name);
}
} // namespace

QString SourceDir() {
    const QString s = Env("MMS_SOURCE_DIR");
    return s.isEmpty() ? QStringLiteral(MMS_SOURCE_DIR_DEFAULT) : s;
}

QString BinaryDir() {
    const QString s = Env("MMS_BINARY_DIR");
    return s.isEmpty() ? QStringLiteral(MMS_BINARY_DIR_DEFAULT) : s;
}

QString ServerBinary() {
    return BinaryDir() + QStringLiteral("/mms-server");
}

int FreeTcpPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

void TestHome::WriteFile(const QString &name, const QByteArray &content) const {
    QFile f(File(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

DbTarget TestHome::SqliteTarget() const {
    DbTarget t;
    t.type = 1;
    t.driver = QStringLiteral("QSQLITE");
    t.databaseName = File(QStringLiteral("MonitorData.db"));
    return t;
}

std::unique_ptr<TestHome> MakeSqliteHome(bool withData) {
    auto home = std::make_unique<TestHome>();
    QString message;
    if (!InitDatabaseFile(home->File(QStringLiteral("MonitorData.db")), withData, &message))
        ADD_FAILURE() << message.toStdString();
    return home;
}

std::unique_ptr<TestHome> MakeMailingHome(int smtpPort, int devicePort, int owners) {
    auto home = MakeSqliteHome();
    home->WriteFile(QStringLiteral("Set.ini"),
                    QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\n"
                                   "ClientConnectPort=%3\nWebPort=0\n")
                        .arg(devicePort)
                        .arg(FreeTcpPort())
                        .arg(FreeTcpPort())
                        .toUtf8());
    TdmNet db(home->SqliteTarget());
    TNormalParamTable(db).Update(
        {{QStringLiteral("EmailPassword"),
          QStringLiteral("127.0.0.1:%1*Auto^me@example.com&pw").arg(smtpPort)},
         {QStringLiteral("ShowInfoHint"), QStringLiteral("1")}});
    for (int i = 1; i <= owners; ++i) {
        const QString user = QStringLiteral("user%1").arg(i);
        db.Exec(QStringLiteral("insert into UserRegister (UserName, UserPassword, Email, "
                               "UseState) values (?, ?, ?, ?)"),
                {user, QStringLiteral("pw"), user + QStringLiteral("@example.com"), 0});
        db.Exec(
            QStringLiteral("insert into UserEquipment (UserName, EquipmentCode, "
                           "EquipmentName, EquipmentType) values (?, ?, ?, ?)"),
            {user, QStringLiteral("SIM%1").arg(i), QStringLiteral("Unit"), QStringLiteral("01")});
    }
    db.ReleaseThreadConnection();
    return home;
}

bool PgRequired() {
    return Env("MMS_REQUIRE_PG") == QLatin1String("1");
}

std::optional<DbTarget> PgServer() {
    static std::optional<DbTarget> cached;
    static bool probed = false;
    if (probed)
        return cached;
    probed = true;
    if (Env("MMS_PG_HOST").isEmpty())
        return cached;
    DbTarget t;
    t.type = 3;
    t.driver = QStringLiteral("QPSQL");
    t.host = Env("MMS_PG_HOST");
    t.port = Env("MMS_PG_PORT").isEmpty() ? 5432 : Env("MMS_PG_PORT").toInt();
    t.user = Env("MMS_PG_USER").isEmpty() ? QStringLiteral("postgres") : Env("MMS_PG_USER");
    t.password = Env("MMS_PG_PASSWORD");
    t.databaseName = QStringLiteral("postgres");
    const QString name = QStringLiteral("mms-pg-probe");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(t.host);
        db.setPort(t.port);
        db.setUserName(t.user);
        db.setPassword(t.password);
        db.setDatabaseName(t.databaseName);
        db.setConnectOptions(QStringLiteral("connect_timeout=3"));
        if (db.open())
            cached = t;
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return cached;
}

namespace {

// Runs one statement on the server's maintenance database; the error text,
// empty on success.
QString RunPgAdmin(const DbTarget &server, const QString &statement) {
    const QString conn = QStringLiteral("mms-pg-admin-") + QUuid::createUuid().toString();
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), conn);
        db.setHostName(server.host);
        db.setPort(server.port);
        db.setUserName(server.user);
        db.setPassword(server.password);
        db.setDatabaseName(QStringLiteral("postgres"));
        if (!db.open()) {
            error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            if (!q.exec(statement))
                error = q.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(conn);
    return error;
}

} // namespace

DbTarget CreatePgDatabase(const QString &prefix) {
    std::optional<DbTarget> server = PgServer();
    if (!server)
        throw DbError("no PostgreSQL server");
    // The name is made here, never taken from input.
    const QString dbName =
        (prefix + QLatin1Char('_') + QUuid::createUuid().toString(QUuid::Id128).left(12)).toLower();
    const QString error = RunPgAdmin(*server, QStringLiteral("create database \"%1\"").arg(dbName));
    if (!error.isEmpty())
        throw DbError(error.toStdString());
    DbTarget t = *server;
    t.databaseName = dbName;
    return t;
}

void DropPgDatabase(const QString &name) {
    if (std::optional<DbTarget> server = PgServer())
        RunPgAdmin(*server,
                   QStringLiteral("drop database if exists \"%1\" with (force)").arg(name));
}

ServerProcess::~ServerProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

namespace {

// The tests start many servers at once, and the web console's default port
// is one port: unless a test chose a web port, its server runs without the
// web console. A home without Set.ini gets one that says only that.
void KeepWebConsoleOff(const QStringList &args) {
    const qsizetype at = args.indexOf(QStringLiteral("--home"));
    if (at < 0 || at + 1 >= args.size())
        return;
    const QString home = args[at + 1];
    QFile ini(QDir(home).filePath(QStringLiteral("Set.ini")));
    QByteArray text;
    if (ini.open(QIODevice::ReadOnly)) {
        text = ini.readAll();
        ini.close();
    }
    if (text.contains("WebPort="))
        return;
    const qsizetype set = text.indexOf("[Set]");
    if (set < 0)
        text += "\n[Set]\nWebPort=0\n";
    else
        text.insert(set + 5, "\nWebPort=0");
    // Callers wait for the server to rewrite the file: its time stays.
    const QDateTime modified = QFileInfo(ini).lastModified();
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    ini.write(text);
    ini.flush();
    if (modified.isValid())
        ini.setFileTime(modified, QFileDevice::FileModificationTime);
}

} // namespace

bool ServerProcess::Start(const QStringList &args, const QStringList &extraEnv) {
    KeepWebConsoleOff(args);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &kv : extraEnv) {
        const int eq = kv.indexOf(QLatin1Char('='));
        if (eq > 0)
            env.insert(kv.left(eq), kv.mid(eq + 1));
    }
    process_.setProcessEnvironment(env);
    QStringList all = args;
    if (!all.contains(QStringLiteral("--headless")))
        all.prepend(QStringLiteral("--headless"));
    if (openFileLimit_ > 0) {
        const rlim_t files = static_cast<rlim_t>(openFileLimit_);
        process_.setChildProcessModifier([files] {
            const rlimit limit{files, files};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
    }
    process_.start(ServerBinary(), all);
    return process_.waitForStarted(10000);
}

void ServerProcess::Drain() {
    pending_ += process_.readAllStandardOutput();
    stderr_ += process_.readAllStandardError();
    int nl;
    while ((nl = pending_.indexOf('\n')) >= 0) {
        QByteArray line = pending_.left(nl);
        if (line.endsWith('\r'))
            line.chop(1);
        lines_.append(QString::fromUtf8(line));
        pending_.remove(0, nl + 1);
    }
}

bool ServerProcess::WaitForPort(quint16 port, std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeout.count()) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (probe.waitForConnected(100))
            return true;
        if (process_.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(30);
    }
    return false;
}

std::optional<QString> ServerProcess::WaitForLine(const QString &contains,
                                                  std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    qsizetype checked = 0;
    for (;;) {
        Drain();
        for (; checked < lines_.size(); ++checked)
            if (lines_[checked].contains(contains))
                return lines_[checked];
        if (timer.elapsed() >= timeout.count())
            return std::nullopt;
        if (process_.state() == QProcess::NotRunning) {
            Drain();
            for (; checked < lines_.size(); ++checked)
                if (lines_[checked].contains(contains))
                    return lines_[checked];
            return std::nullopt;
        }
        process_.waitForReadyRead(50);
    }
}

QStringList ServerProcess::Lines() {
    Drain();
    return lines_;
}

QString ServerProcess::StdErr() {
    Drain();
    return QString::fromUtf8(stderr_);
}

int ServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
    if (process_.state() != QProcess::NotRunning &&
        !process_.waitForFinished(static_cast<int>(timeout.count())))
        return -1;
    Drain();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

int ServerProcess::Terminate(std::chrono::milliseconds timeout) {
    if (process_.state() == QProcess::NotRunning)
        return WaitForExit(timeout);
    process_.terminate(); // SIGTERM
    return WaitForExit(timeout);
}

int ServerProcess::Signal(int sig, std::chrono::milliseconds timeout) {
    if (process_.state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(process_.processId()), sig);
    return WaitForExit(timeout);
}

PgFreeze::PgFreeze(TdmNet &db) {
    const auto dir = db.Select(QStringLiteral("select setting from pg_settings where "
                                              "name='data_directory'"));
    QFile pidFile(dir.at(0).value(0).toString() + QStringLiteral("/postmaster.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return;
    const int postmaster = pidFile.readLine().trimmed().toInt();
    if (postmaster <= 0)
        return;
    Stop(postmaster);
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toInt() == postmaster)
            Stop(entry.toInt());
    }
}

PgFreeze::~PgFreeze() {
    for (auto it = stopped_.rbegin(); it != stopped_.rend(); ++it)
        ::kill(*it, SIGCONT);
}

void PgFreeze::Stop(int pid) {
    if (::kill(pid, SIGSTOP) == 0)
        stopped_.push_back(pid);
}

SqliteLock::SqliteLock(const QString &path) {
    if (sqlite3_open(path.toUtf8().constData(), &db_) == SQLITE_OK)
        locked_ = sqlite3_exec(db_, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK;
}

SqliteLock::~SqliteLock() {
    if (locked_)
        sqlite3_exec(db_, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
}

} // namespace mmstest
