#include "BenchServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

bool Accepts(int port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    const bool ok = socket.waitForConnected(200);
    socket.abort();
    return ok;
}

} // namespace

QCommandLineOption BenchServerOption() {
    return QCommandLineOption(
        QStringLiteral("server"), QStringLiteral("mms-server binary."), QStringLiteral("path"),
        QCoreApplication::applicationDirPath() + QStringLiteral("/mms-server"));
}

int BenchFreePort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

long BenchRaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return long(limit.rlim_cur);
}

void BenchPrint(const QString &line) {
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

TBenchServer::TBenchServer(QString binary) : binary_(std::move(binary)) {}

TBenchServer::~TBenchServer() {
    if (process_.state() != QProcess::NotRunning)
        Stop();
}

bool TBenchServer::Prepare(const std::vector<TBenchOwner> &owners, bool operatorLog) {
    if (!home_.isValid()) {
        error_ = QStringLiteral("cannot make a temporary folder");
        return false;
    }
    QProcess init;
    init.start(binary_, {QStringLiteral("--init-db"), QStringLiteral("--home"), home_.path()});
    if (!init.waitForFinished(60000) || init.exitStatus() != QProcess::NormalExit ||
        init.exitCode() != 0) {
        error_ = QStringLiteral("%1 --init-db failed: %2 %3")
                     .arg(binary_, init.errorString(),
                          QString::fromLocal8Bit(init.readAllStandardError()));
        return false;
    }

    equipmentPort_ = BenchFreePort();
    dataBasePort_ = BenchFreePort();
    clientPort_ = BenchFreePort();
    QFile ini(home_.filePath(QStringLiteral("Set.ini")));
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error_ = ini.errorString();
        return false;
    }
    // No web console: benchmarks run side by side.
    ini.write(QStringLiteral("[Set]\nDeviceConnectPort=%1\nDataBasePort=%2\nClientConnectPort=%3\n"
                             "WebPort=0\n")
                  .arg(equipmentPort_)
                  .arg(dataBasePort_)
                  .arg(clientPort_)
                  .toUtf8());
    ini.close();

    const QString connection = QStringLiteral("bench-") + QUuid::createUuid().toString();
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(home_.filePath(QStringLiteral("MonitorData.db")));
        ok = db.open() && db.transaction();
        QSqlQuery user(db);
        QSqlQuery unit(db);
        QSqlQuery setting(db);
        ok = ok &&
             user.prepare(QStringLiteral("insert into UserRegister (UserName, UserPassword, Email, "
                                         "UseState) values (?, 'bench', 'bench@localhost', 0)")) &&
             unit.prepare(QStringLiteral("insert into UserEquipment (UserName, EquipmentCode, "
                                         "EquipmentName, EquipmentType) values (?, ?, ?, '01')")) &&
             setting.prepare(QStringLiteral("update NormalParam set SetValue=? where "
                                            "SetItem='ShowInfoHint'"));
        QStringList users;
        for (const TBenchOwner &owner : owners) {
            if (!ok)
                break;
            if (!users.contains(owner.userName)) {
                users.append(owner.userName);
                user.addBindValue(owner.userName);
                ok = user.exec();
            }
            unit.addBindValue(owner.userName);
            unit.addBindValue(owner.equipmentCode);
            unit.addBindValue(owner.equipmentName);
            ok = ok && unit.exec();
        }
        setting.addBindValue(operatorLog ? QStringLiteral("1") : QStringLiteral("0"));
        ok = ok && setting.exec() && db.commit();
        if (!ok)
            error_ = QStringLiteral("cannot fill the database: ") + db.lastError().text() +
                     user.lastError().text() + unit.lastError().text();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}

bool TBenchServer::Start(const QString &logFile, bool window) {
    process_.setStandardOutputFile(logFile.isEmpty() ? QProcess::nullDevice() : logFile);
    process_.setStandardErrorFile(home_.filePath(QStringLiteral("stderr.txt")));
    QStringList args{QStringLiteral("--home"), home_.path()};
    if (!window)
        args.prepend(QStringLiteral("--headless"));
    process_.start(binary_, args);
    if (!process_.waitForStarted(10000)) {
        error_ = QStringLiteral("cannot start ") + binary_ + QStringLiteral(": ") +
                 process_.errorString();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        if (process_.state() == QProcess::NotRunning) {
            error_ = QStringLiteral("the server ended at start: ") + StdErr();
            return false;
        }
        if (Accepts(equipmentPort_) && Accepts(clientPort_))
            return true;
        QThread::msleep(100);
    }
    error_ = QStringLiteral("the server's ports did not open within 30 s");
    return false;
}

QString TBenchServer::StdErr() const {
    QFile err(home_.filePath(QStringLiteral("stderr.txt")));
    return err.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(err.readAll()) : QString();
}

int TBenchServer::Stop() {
    if (process_.state() == QProcess::NotRunning)
        return process_.exitCode();
    ::kill(pid_t(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(20000)) {
        process_.kill();
        process_.waitForFinished(5000);
        return -1;
    }
    return process_.exitCode();
}

void TBenchServer::Kill() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(5000);
}

qint64 TBenchServer::ResidentKiB() const {
    return BenchResidentKiB(process_.processId());
}

double TBenchServer::CpuSeconds() const {
    return BenchCpuSeconds(process_.processId());
}

qint64 BenchResidentKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

double BenchCpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name (which may hold blanks) start after ") ".
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    // utime and stime are fields 14 and 15 of the whole line: 11 and 12 here.
    const double ticks = double(fields[11].toLongLong() + fields[12].toLongLong());
    return ticks / double(sysconf(_SC_CLK_TCK));
}

QString BenchLoadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

bool RunUntil(const std::function<bool()> &condition, qint64 timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    bool held = condition();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        held = condition();
        if (held || clock.elapsed() >= timeoutMs)
            loop.quit();
    });
    if (!held) {
        poll.start(20);
        loop.exec();
    }
    return held;
}
