#include "NetD.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimeZone>
#include <QUuid>

#include <cstdlib>

TdmNet *dmNet = nullptr;

namespace {

QString ErrorText(const QSqlError &e) {
    return e.text().trimmed();
}

QSqlQuery Prepare(QSqlDatabase db, const QString &sql, const QVariantList &values,
                  bool forwardOnly = true) {
    QSqlQuery q(db);
    q.setForwardOnly(forwardOnly);
    // Without values the text runs as it stands: PostgreSQL can prepare only
    // select, insert, update, delete and values, not DDL such as create table.
    if (values.isEmpty()) {
        if (!q.exec(sql))
            throw DbError(
                QStringLiteral("%1: %2").arg(sql, ErrorText(q.lastError())).toStdString());
        return q;
    }
    if (!q.prepare(sql))
        throw DbError(QStringLiteral("%1: %2").arg(sql, ErrorText(q.lastError())).toStdString());
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        throw DbError(QStringLiteral("%1: %2").arg(sql, ErrorText(q.lastError())).toStdString());
    return q;
}

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
void PrepareSession(QSqlDatabase db) {
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
        try {
            SetSessionTimeZone(db);
        } catch (const DbError &) {
            db.close();
            throw;
        }
    }
}

} // namespace

TdmNet::TdmNet(DbTarget target)
    : target_(std::move(target)), dialect_(MakeSqlDialect(target_.type)) {}

TdmNet::~TdmNet() {
    // Removing a connection closes it when the last handle goes; asking for
    // it with database() first would be refused for other threads' ones.
    std::lock_guard names(namesLock_);
    for (const QString &name : openNames_)
        QSqlDatabase::removeDatabase(name);
}

QString TdmNet::ConnectionName() const {
    return QStringLiteral("mms-%1-%2")
        .arg(reinterpret_cast<quintptr>(this), 0, 16)
        .arg(ThreadToken());
}

QSqlDatabase TdmNet::Connection() {
    const QString name = ConnectionName();
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isOpen())
            return db;
        if (!db.open())
            throw DbError(ErrorText(db.lastError()).toStdString());
        PrepareSession(db);
        return db;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(target_.driver, name);
    {
        std::lock_guard names(namesLock_);
        openNames_.push_back(name);
    }
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
    QString options = target_.connectOptions;
    if (target_.driver == QLatin1String("QSQLITE") && options.isEmpty())
        options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000");
    if (target_.driver == QLatin1String("QPSQL") && options.isEmpty())
        options = QStringLiteral("connect_timeout=5");
    db.setConnectOptions(options);
    if (!db.open())
        throw DbError(ErrorText(db.lastError()).toStdString());
    PrepareSession(db);
    return db;
}

void TdmNet::ReleaseThreadConnection() {
    const QString name = ConnectionName();
    {
        std::lock_guard names(namesLock_);
        std::erase(openNames_, name);
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

int TdmNet::Exec(const QString &sql, const QVariantList &values) {
    return Session(*this).Exec(sql, values);
}

std::vector<QSqlRecord> TdmNet::Select(const QString &sql, const QVariantList &values) {
    return Session(*this).Select(sql, values);
}

// ---------------------------------------------------------------- Session

TdmNet::Session::Session(TdmNet &db) : db_(db), lock_(db.lock_) {}

QSqlDatabase TdmNet::Session::Connection() {
    return db_.Connection();
}

int TdmNet::Session::Exec(const QString &sql, const QVariantList &values) {
    QSqlQuery q = Prepare(Connection(), sql, values);
    return q.numRowsAffected();
}

std::vector<QSqlRecord> TdmNet::Session::Select(const QString &sql, const QVariantList &values) {
    QSqlQuery q = Prepare(Connection(), sql, values);
    std::vector<QSqlRecord> rows;
    while (q.next())
        rows.push_back(q.record());
    if (q.lastError().isValid())
        throw DbError(ErrorText(q.lastError()).toStdString());
    return rows;
}

QSqlQuery TdmNet::Session::Query(const QString &sql, const QVariantList &values, bool forwardOnly) {
    return Prepare(Connection(), sql, values, forwardOnly);
}

// ---------------------------------------------------------------- Transaction

TdmNet::Transaction::Transaction(TdmNet &db) : Session(db) {
    if (db.transactionDepth_ == 0) {
        QSqlDatabase c = Connection();
        if (!c.transaction())
            throw DbError(
                ("cannot begin a transaction: " + ErrorText(c.lastError())).toStdString());
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
        Connection().rollback();
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
        c.rollback();
        throw DbError("the transaction was rolled back: an inner step failed");
    }
    if (!c.commit()) {
        const QString why = ErrorText(c.lastError());
        c.rollback();
        throw DbError(("cannot commit the transaction: " + why).toStdString());
    }
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
