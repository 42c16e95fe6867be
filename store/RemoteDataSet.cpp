#include "RemoteDataSet.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlResult>
#include <QStringList>

#include <sqlite3.h>

#include <optional>

namespace {

// The database's own message, without the statement text.
DbError StatementError(const QSqlQuery &q) {
    QString text = q.lastError().databaseText().trimmed();
    if (text.isEmpty())
        text = q.lastError().text().trimmed();
    return DbError(text.toStdString());
}

QSqlQuery Run(QSqlDatabase db, const QString &sql, const QVariantList &values) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (values.isEmpty()) {
        if (!q.exec(sql))
            throw StatementError(q);
        return q;
    }
    if (!q.prepare(sql))
        throw StatementError(q);
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        throw StatementError(q);
    return q;
}

// A name as written in a statement, without its quotes: "x" and [x] -> x.
QString Unquoted(const QString &part) {
    if (part.size() >= 2 && part.front() == u'"' && part.back() == u'"')
        return part.mid(1, part.size() - 2).replace(QStringLiteral("\"\""), QStringLiteral("\""));
    if (part.size() >= 2 && part.front() == u'[' && part.back() == u']')
        return part.mid(1, part.size() - 2).replace(QStringLiteral("]]"), QStringLiteral("]"));
    return part;
}

// "col = ?" for every old value, "col is null" for a null one.
QString WhereClause(const SqlDialect &dialect,
                    const std::vector<std::pair<QString, QVariant>> &oldValues,
                    QVariantList &values) {
    QStringList terms;
    for (const auto &[name, value] : oldValues) {
        if (value.isNull()) {
            terms << dialect.QuoteIdentifier(name) + QStringLiteral(" is null");
        } else {
            terms << dialect.QuoteIdentifier(name) + QStringLiteral(" = ?");
            values << value;
        }
    }
    return terms.join(QStringLiteral(" and "));
}

// A client's statement may begin a transaction ("begin", "begin exclusive")
// and leave it open. Its locks would then outlast the call and hold up every
// other writer of the database, the equipment and client links included, so
// each call is a transaction of its own: whatever it leaves open is rolled
// back.
void EndLeftTransaction(QSqlDatabase db, const SqlDialect &dialect) {
    if (!db.isOpen()) // broken by the call limit: nothing is left open
        return;
    const QString check = dialect.InTransactionQuery();
    QSqlQuery q(db);
    if (!check.isEmpty() && (!q.exec(check) || !q.next() || !q.value(0).toBool()))
        return;
    q.finish();
    q.exec(QStringLiteral("rollback"));
}

// Runs EndLeftTransaction when the call ends, however it ends. Declared
// before the call's query, so that the query is gone first.
class TEndLeftTransaction {
public:
    TEndLeftTransaction(QSqlDatabase db, const SqlDialect &dialect)
        : db_(std::move(db)), dialect_(dialect) {}
    ~TEndLeftTransaction() { EndLeftTransaction(db_, dialect_); }
    TEndLeftTransaction(const TEndLeftTransaction &) = delete;
    TEndLeftTransaction &operator=(const TEndLeftTransaction &) = delete;

private:
    QSqlDatabase db_;
    const SqlDialect &dialect_;
};

// Keeps a remote program from reaching files beyond the database: ATTACH and
// DETACH (VACUUM INTO attaches its target, so it is refused too) and loading
// extensions are denied on the remote service's SQLite connections.
int RemoteAuthorizer(void *, int action, const char *, const char *name, const char *,
                     const char *) {
    switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
        return SQLITE_DENY;
    case SQLITE_FUNCTION:
        return name && sqlite3_stricmp(name, "load_extension") == 0 ? SQLITE_DENY : SQLITE_OK;
    default:
        return SQLITE_OK;
    }
}

void Confine(const QSqlDatabase &db) {
    if (sqlite3 *handle = DriverHandle<sqlite3>(db, "QSQLITE")) {
        sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
        sqlite3_set_authorizer(handle, RemoteAuthorizer, nullptr);
    }
}

// Whether a statement only reads, so that it may run without the data module
// lock. SQLite says so of the prepared statement (a transaction statement
// counts as a write here: it would keep its locks beyond itself); for the
// server databases a lone select does.
bool ReadsOnly(const QSqlQuery *prepared, const QString &commandText) {
    static const QRegularExpression transaction(QStringLiteral(R"(^\s*(begin|savepoint)\b)"),
                                                QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression select(QStringLiteral(R"(^\s*select\b[^;]*;?\s*$)"),
                                           QRegularExpression::CaseInsensitiveOption);
    const QVariant v = prepared && prepared->result() ? prepared->result()->handle() : QVariant();
    if (qstrcmp(v.typeName(), "sqlite3_stmt*") == 0 && v.constData()) {
        sqlite3_stmt *statement = *static_cast<sqlite3_stmt *const *>(v.constData());
        return statement && sqlite3_stmt_readonly(statement) &&
               !transaction.match(commandText).hasMatch();
    }
    return select.match(commandText).hasMatch();
}

} // namespace

QString TRemoteDataSet::TableOf(const QString &commandText, const QSqlRecord &fields) {
    QString common;
    bool agree = !fields.isEmpty();
    for (int i = 0; i < fields.count() && agree; ++i) {
        const QString t = fields.field(i).tableName();
        if (t.isEmpty() || (!common.isEmpty() && t.compare(common, Qt::CaseInsensitive) != 0))
            agree = false;
        common = t;
    }
    if (agree)
        return common;
    static const QString part =
        QStringLiteral(R"((?:"(?:[^"]|"")+"|\[(?:[^\]]|\]\])+\]|[A-Za-z_][\w$#]*))");
    static const QRegularExpression from(
        QStringLiteral(R"(\bfrom\s+(%1(?:\s*\.\s*%1)*))").arg(part),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression partOnly(part);
    const QRegularExpressionMatch m = from.match(commandText);
    if (!m.hasMatch())
        return {};
    QStringList parts;
    auto it = partOnly.globalMatch(m.captured(1));
    while (it.hasNext())
        parts << Unquoted(it.next().captured(0));
    return parts.join(QLatin1Char('.'));
}

QString TRemoteDataSet::SuperuserRole(TdmNet &db) {
    if (db.DataBaseType() != 3)
        return {};
    const std::vector<QSqlRecord> rows =
        db.Select(QStringLiteral("select current_user, current_setting('is_superuser')"));
    if (rows.empty() || rows.front().value(1).toString() != QLatin1String("on"))
        return {};
    return rows.front().value(0).toString();
}

template <class F> auto TRemoteDataSet::Limited(QSqlDatabase db, F &&call) {
    Confine(db);
    const auto limit = db_.Health().Limits().remoteCallLimit;
    {
        TDbHealth::TWatch watch(db_.Health(), db, limit, true);
        try {
            return call(db);
        } catch (const DbError &) {
            if (!watch.Fired())
                throw;
        }
    }
    // Broken mid-call: opened anew on the next call.
    db.close();
    throw DbError(QStringLiteral("the call ran longer than %1 ms and was stopped")
                      .arg(limit.count())
                      .toStdString());
}

void TRemoteDataSet::GetRecords(const QString &commandText,
                                const std::function<void(const QSqlRecord &)> &onFields,
                                const std::function<void(const QVariantList &)> &onRow) {
    // A read runs on this thread's connection without the data module lock,
    // so that a long read (or a client slow to take its rows) never delays
    // the links' own statements; anything else takes the lock as before.
    QSqlDatabase db = db_.ReaderConnection();
    Confine(db);
    const bool sqlite = db.driverName() == QLatin1String("QSQLITE");
    std::optional<QSqlQuery> prepared;
    if (sqlite) {
        // SQLite prepares the text as it would run it, and tells whether it writes.
        prepared.emplace(db);
        prepared->setForwardOnly(true);
        if (!prepared->prepare(commandText))
            throw StatementError(*prepared);
    }
    std::optional<TdmNet::Session> session;
    if (!ReadsOnly(prepared ? &*prepared : nullptr, commandText))
        session.emplace(db_);
    const TEndLeftTransaction end(db, db_.Dialect());
    Limited(db, [&](QSqlDatabase db) {
        QSqlQuery q = prepared ? std::move(*prepared) : QSqlQuery(db);
        q.setForwardOnly(true);
        if (!(prepared ? q.exec() : q.exec(commandText)))
            throw StatementError(q);
        const QSqlRecord fields = q.record();
        lastTable_ = TableOf(commandText, fields);
        onFields(fields);
        if (!q.isSelect())
            return;
        // Values column by column: a record per row would copy the field
        // descriptions of every column each time.
        QVariantList values(fields.count());
        while (q.next()) {
            for (int i = 0; i < fields.count(); ++i)
                values[i] = q.value(i);
            onRow(values);
        }
        if (q.lastError().isValid())
            throw StatementError(q);
        q.finish();
    });
}

int TRemoteDataSet::Execute(const QString &commandText) {
    TdmNet::Session session(db_);
    return Limited(session.Connection(), [&](QSqlDatabase db) {
        const TEndLeftTransaction end(db, db_.Dialect());
        return Run(db, commandText, {}).numRowsAffected();
    });
}

int TRemoteDataSet::ApplyUpdates(const QString &tableName, const std::vector<TDeltaChange> &delta) {
    const QString table = tableName.isEmpty() ? lastTable_ : tableName;
    if (table.isEmpty())
        throw DbError("no table to apply the changes to: name it with tableName, or read it "
                      "with GetRecords first");
    const SqlDialect &dialect = db_.Dialect();
    const QString quotedTable = dialect.QuoteIdentifier(table);
    TdmNet::Transaction transaction(db_);
    int applied = 0;
    for (const TDeltaChange &change : delta) {
        QString sql;
        QVariantList values;
        switch (change.kind) {
        case TDeltaChange::Kind::Insert: {
            QStringList names, marks;
            for (const auto &[name, value] : change.newValues) {
                names << dialect.QuoteIdentifier(name);
                marks << QStringLiteral("?");
                values << value;
            }
            sql = QStringLiteral("insert into %1 (%2) values (%3)")
                      .arg(quotedTable, names.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));
            break;
        }
        case TDeltaChange::Kind::Update: {
            QStringList sets;
            for (const auto &[name, value] : change.newValues) {
                sets << dialect.QuoteIdentifier(name) + QStringLiteral(" = ?");
                values << value;
            }
            sql = QStringLiteral("update %1 set %2 where ")
                      .arg(quotedTable, sets.join(QLatin1Char(','))) +
                  WhereClause(dialect, change.oldValues, values);
            break;
        }
        case TDeltaChange::Kind::Delete:
            sql = QStringLiteral("delete from %1 where ").arg(quotedTable) +
                  WhereClause(dialect, change.oldValues, values);
            break;
        }
        const int rows = Run(transaction.Connection(), sql, values).numRowsAffected();
        // A row changed or deleted by someone else since it was read matches
        // nothing; one of several identical rows would change them all.
        if (change.kind != TDeltaChange::Kind::Insert && rows != 1)
            throw DbError(QStringLiteral("change %1: %2 rows of %3 match the original values "
                                         "(exactly one must); nothing was applied")
                              .arg(applied + 1)
                              .arg(rows)
                              .arg(table)
                              .toStdString());
        ++applied;
    }
    transaction.Commit();
    return applied;
}
