#include "NetD.h"

#include "ServerMetrics.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimeZone>
#include <QUuid>

#include <algorithm>
#include <cstdlib>
#include <optional>

TdmNet *dmNet = nullptr;

namespace {

QString ErrorText(const QSqlError &e) {
    return e.text().trimmed();
}

// A statement the database refused, with the driver's error for telling a
// database that cannot take statements from a statement that is wrong.
struct StatementFailure {
    QSqlError error;
    QString text;
};

[[noreturn]] void ThrowFailure(const QString &sql, const QSqlError &e) {
    throw StatementFailure{e, QStringLiteral("%1: %2").arg(sql, ErrorText(e))};
}

QSqlQuery Prepare(QSqlDatabase db, const QString &sql, const QVariantList &values,
                  bool forwardOnly = true) {
    QSqlQuery q(db);
    q.setForwardOnly(forwardOnly);
    // Without values the text runs as it stands: PostgreSQL can prepare only
    // select, insert, update, delete and values, not DDL such as create table.
    if (values.isEmpty()) {
        if (!q.exec(sql))
            ThrowFailure(sql, q.lastError());
        return q;
    }
    if (!q.prepare(sql))
        ThrowFailure(sql, q.lastError());
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        ThrowFailure(sql, q.lastError());
    return q;
}

const char *const DownText = "the database is unavailable";
const char *const BusyText = "the database is busy with another long call";

// A name for the calling thread that no other thread ever gets. Thread ids
// are reused once a thread has ended, and Qt refuses a connection to any
// thread but the one that opened it, so a reused id would inherit a dead
// thread's connection and fail.
const QString &ThreadToken() {
    thread_local const QString token = QUuid::createUuid().toString(QUuid::Id128);
    return token;
}

// Date-time columns of PostgreSQL hold local wall-clock time without a zone.
// QPSQL sends a bound QDateTime as an instant, which the server turns into
// wall-clock time of the session's TimeZone, and localtimestamp/current_date
// are read in that zone too; so the session must run in the program's zone.
void SetSessionTimeZone(QSqlDatabase db) {
    QSqlQuery q(db);
    const QString zone = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    if (!zone.isEmpty() && q.prepare(QStringLiteral("select set_config('TimeZone', ?, false)"))) {
        q.addBindValue(zone);
        if (q.exec())
            return;
    }
    // A zone name the server does not know: fall back to the current fixed
    // offset, written as a POSIX zone ("<+0530>-05:30", sign inverted).
    const int offset = QDateTime::currentDateTime().offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    const QString hh = QStringLiteral("%1").arg(minutes / 60, 2, 10, QLatin1Char('0'));
    const QString mm = QStringLiteral("%1").arg(minutes % 60, 2, 10, QLatin1Char('0'));
    const QString posix = QStringLiteral("<") + (offset < 0 ? u'-' : u'+') + hh + mm +
                          QStringLiteral(">") + (offset < 0 ? u'+' : u'-') + hh +
                          QStringLiteral(":") + mm;
    if (!q.prepare(QStringLiteral("select set_config('TimeZone', ?, false)")))
        throw DbError(ErrorText(q.lastError()).toStdString());
    q.addBindValue(posix);
    if (!q.exec())
        throw DbError(ErrorText(q.lastError()).toStdString());
}

// Per-connection settings applied after every open.
void PrepareSession(QSqlDatabase db, const SqlDialect &dialect, const TDbLimits &limits) {
    if (db.driverName() == QLatin1String("QSQLITE")) {
        QSqlQuery pragma(db);
        pragma.exec(QStringLiteral("PRAGMA foreign_keys=OFF"));
        // Write-ahead log: an insert is one append and one sync instead of a
        // rollback journal and several syncs (up to tens of milliseconds, all
        // taken holding the data module lock), and readers on the other
        // threads' connections no longer block the writer. FULL keeps every
        // committed row through a power failure.
        pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        pragma.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    } else if (db.driverName() == QLatin1String("QPSQL")) {
        SetSessionTimeZone(db);
    }
    for (const auto &[setting, value] : dialect.SessionSettings(limits)) {
        QSqlQuery q(db);
        if (!q.prepare(QStringLiteral("select set_config(?, ?, false)")))
            throw DbError(ErrorText(q.lastError()).toStdString());
        q.addBindValue(setting);
        q.addBindValue(value);
        if (!q.exec())
            throw DbError(ErrorText(q.lastError()).toStdString());
    }
}

} // namespace

TdmNet::TdmNet(DbTarget target, TDbLimits limits)
    : target_(std::move(target)), dialect_(MakeSqlDialect(target_.type)),
      health_(limits, [this] { Probe(); }) {}

TdmNet::~TdmNet() {
    // Removing a connection closes it when the last handle goes; asking for
    // it with database() first would be refused for other threads' ones.
    std::lock_guard names(namesLock_);
    for (const auto &[name, generation] : openNames_)
        QSqlDatabase::removeDatabase(name);
}

QString TdmNet::ConnectionName() const {
    return QStringLiteral("mms-%1-%2")
        .arg(reinterpret_cast<quintptr>(this), 0, 16)
        .arg(ThreadToken());
}

template <class F> auto TdmNet::Watched(QSqlDatabase c, F &&call) {
    std::optional<StatementFailure> failure;
    bool broken = false;
    {
        TDbHealth::TWatch watch(health_, c);
        try {
            return call();
        } catch (StatementFailure &f) {
            failure = std::move(f);
        }
        broken = watch.Fired();
    }
    Fail(c, failure->error, failure->text, broken);
}

void TdmNet::Fail(QSqlDatabase c, const QSqlError &error, const QString &text, bool broken) {
    CountMetric(&TServerMetrics::databaseErrors);
    if (!broken && dialect_->DiskFull(error)) {
        health_.MarkDiskFull(text);
        throw DbDiskFull(text.toStdString());
    }
    if (broken || dialect_->Unavailable(error) || ConnectionLost(c) || !c.isOpen()) {
        const QString why = broken ? text + QStringLiteral(" (no answer within %1 ms)")
                                                .arg(health_.Limits().statementLimit.count())
                                   : text;
        // Reopened on first use once the database answers again.
        c.close();
        health_.MarkDown(why);
        throw DbUnavailable(why.toStdString());
    }
    throw DbError(text.toStdString());
}

QSqlDatabase TdmNet::OpenConnection(const QString &name) {
    QSqlDatabase db = QSqlDatabase::contains(name)
                          ? QSqlDatabase::database(name, false)
                          : QSqlDatabase::addDatabase(target_.driver, name);
    if (!db.isValid())
        throw DbError(QStringLiteral("database driver %1 is not available")
                          .arg(target_.driver)
                          .toStdString());
    db.setDatabaseName(target_.databaseName);
    if (!target_.host.isEmpty())
        db.setHostName(target_.host);
    if (target_.port > 0)
        db.setPort(target_.port);
    if (!target_.user.isEmpty())
        db.setUserName(target_.user);
    if (!target_.password.isEmpty())
        db.setPassword(target_.password);
    db.setConnectOptions(dialect_->ConnectOptions(target_.connectOptions, health_.Limits()));
    if (!db.open()) {
        const QString why = ErrorText(db.lastError());
        health_.MarkDown(why);
        throw DbUnavailable(why.toStdString());
    }
    try {
        Watched(db, [&] {
            try {
                PrepareSession(db, *dialect_, health_.Limits());
            } catch (const DbError &e) {
                throw StatementFailure{db.lastError(), QString::fromStdString(e.what())};
            }
            return 0;
        });
    } catch (const DbError &) {
        db.close();
        throw;
    }
    return db;
}

QSqlDatabase TdmNet::Connection() {
    if (!health_.IsUp())
        throw DbUnavailable(DownText);
    const QString name = ConnectionName();
    const std::uint64_t generation = health_.Generation();
    bool current = false;
    {
        std::lock_guard names(namesLock_);
        const auto it = std::find_if(openNames_.begin(), openNames_.end(),
                                     [&](const auto &n) { return n.first == name; });
        if (it == openNames_.end()) {
            openNames_.emplace_back(name, generation);
        } else {
            current = it->second == generation;
            it->second = generation;
        }
    }
    if (current) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isOpen())
            return db;
    } else if (QSqlDatabase::contains(name)) {
        // Opened before the database went down: the connection may be dead.
        QSqlDatabase::database(name, false).close();
    }
    return OpenConnection(name);
}

void TdmNet::Probe() {
    const QString name =
        QStringLiteral("mms-probe-%1").arg(reinterpret_cast<quintptr>(this), 0, 16);
    const auto remove = qScopeGuard([&] { QSqlDatabase::removeDatabase(name); });
    QSqlDatabase c = OpenConnection(name);
    const auto close = qScopeGuard([&] { c.close(); });
    for (const QString &statement : dialect_->ProbeStatements())
        Watched(c, [&] { return Prepare(c, statement, {}).isActive(); });
}

void TdmNet::ReleaseThreadConnection() {
    const QString name = ConnectionName();
    {
        std::lock_guard names(namesLock_);
        std::erase_if(openNames_, [&](const auto &n) { return n.first == name; });
    }
    if (!QSqlDatabase::contains(name))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

void TdmNet::Open() {
    Session session(*this);
    for (const char *table : {"ParamList", "CommunicateLog", "NormalParam"}) {
        QSqlQuery q = session.Query(QStringLiteral("select * from %1").arg(QLatin1String(table)));
        while (q.next()) {
        }
    }
}

bool TdmNet::OnEventThread() const {
    if (QThread *thread = eventThread_.load())
        return QThread::currentThread() == thread;
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

int TdmNet::Exec(const QString &sql, const QVariantList &values) {
    return Session(*this).Exec(sql, values);
}

std::vector<QSqlRecord> TdmNet::Select(const QString &sql, const QVariantList &values) {
    return Session(*this).Select(sql, values);
}

// ---------------------------------------------------------------- Session

TdmNet::Session::Session(TdmNet &db) : db_(db) {
    // Refused at once while the database is down, also after waiting for the
    // lock: the holder may have been the call that found it down.
    if (!db.IsUp())
        throw DbUnavailable(DownText);
    if (db.OnEventThread()) {
        lock_ = std::unique_lock(db.lock_, std::defer_lock);
        if (!lock_.try_lock_for(db.health_.Limits().statementLimit))
            throw DbUnavailable(BusyText);
    } else {
        lock_ = std::unique_lock(db.lock_);
    }
    if (!db.IsUp())
        throw DbUnavailable(DownText);
}

QSqlDatabase TdmNet::Session::Connection() {
    return db_.Connection();
}

int TdmNet::Session::Exec(const QString &sql, const QVariantList &values) {
    QSqlDatabase c = Connection();
    const int rows = db_.Watched(c, [&] { return Prepare(c, sql, values).numRowsAffected(); });
    // Inside a transaction nothing is written before the commit.
    if (rows > 0 && db_.transactionDepth_ == 0)
        db_.health_.MarkWritten();
    return rows;
}

std::vector<QSqlRecord> TdmNet::Session::Select(const QString &sql, const QVariantList &values) {
    QSqlDatabase c = Connection();
    return db_.Watched(c, [&] {
        QSqlQuery q = Prepare(c, sql, values);
        std::vector<QSqlRecord> rows;
        while (q.next())
            rows.push_back(q.record());
        if (q.lastError().isValid())
            ThrowFailure(sql, q.lastError());
        return rows;
    });
}

QSqlQuery TdmNet::Session::Query(const QString &sql, const QVariantList &values, bool forwardOnly) {
    QSqlDatabase c = Connection();
    return db_.Watched(c, [&] { return Prepare(c, sql, values, forwardOnly); });
}

// ---------------------------------------------------------------- Transaction

TdmNet::Transaction::Transaction(TdmNet &db) : Session(db) {
    if (db.transactionDepth_ == 0) {
        QSqlDatabase c = Connection();
        db.Watched(c, [&] {
            if (!c.transaction())
                throw StatementFailure{c.lastError(),
                                       QStringLiteral("cannot begin a transaction: ") +
                                           ErrorText(c.lastError())};
            return 0;
        });
        outermost_ = true;
        db.rollbackOnly_ = false;
    }
    ++db.transactionDepth_;
}

TdmNet::Transaction::~Transaction() {
    if (finished_)
        return;
    TdmNet &db = Db();
    --db.transactionDepth_;
    if (!outermost_) {
        db.rollbackOnly_ = true;
        return;
    }
    db.rollbackOnly_ = false;
    try {
        QSqlDatabase c = Connection();
        db.Watched(c, [&] { return c.rollback(); });
    } catch (const DbError &) {
        // The connection is gone; the database drops the transaction with it.
    }
}

void TdmNet::Transaction::Commit() {
    if (finished_)
        return;
    TdmNet &db = Db();
    finished_ = true;
    --db.transactionDepth_;
    if (!outermost_)
        return;
    QSqlDatabase c = Connection();
    if (db.rollbackOnly_) {
        db.rollbackOnly_ = false;
        db.Watched(c, [&] { return c.rollback(); });
        throw DbError("the transaction was rolled back: an inner step failed");
    }
    db.Watched(c, [&] {
        if (!c.commit()) {
            const QSqlError error = c.lastError();
            c.rollback();
            throw StatementFailure{error, QStringLiteral("cannot commit the transaction: ") +
                                              ErrorText(error)};
        }
        return 0;
    });
    db.health_.MarkWritten();
}

TableReader TableReaderFor(TdmNet &db) {
    return [&db](const QString &statement) {
        std::vector<TableRow> rows;
        for (const QSqlRecord &r : db.Select(statement)) {
            TableRow row;
            for (int i = 0; i < r.count(); ++i)
                row.insert(r.fieldName(i), r.value(i).toString());
            rows.push_back(std::move(row));
        }
        return rows;
    };
}
