#include "SchemaInstaller.h"

#include "AlarmOutbox.h"
#include "ClusterStore.h"
#include "NetD.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace {

// Scripts are Qt resources of this library (see CMakeLists.txt).
QString ReadResource(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

void SetMessage(QString *message, const QString &text) {
    if (message)
        *message = text;
}

} // namespace

QString SchemaScript(quint8 dataBaseType) {
    switch (dataBaseType) {
    case 1:
        return ReadResource(QStringLiteral(":/db/sqlite/schema.sql"));
    case 2:
        return ReadResource(QStringLiteral(":/db/sqlserver/schema.sql"));
    case 3:
        return ReadResource(QStringLiteral(":/db/postgresql/schema.sql"));
    default:
        return {};
    }
}

QString DataScript() {
    return ReadResource(QStringLiteral(":/db/data.sql"));
}

QStringList SplitSqlScript(const QString &script) {
    QStringList statements;
    QString current;
    const QStringList lines = script.split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1String("--")))
            continue;
        if (!current.isEmpty())
            current += QLatin1Char('\n');
        if (line.endsWith(QLatin1Char(';'))) {
            current += line.chopped(1);
            const QString statement = current.trimmed();
            if (!statement.isEmpty())
                statements.append(statement);
            current.clear();
        } else {
            current += line;
        }
    }
    const QString rest = current.trimmed();
    if (!rest.isEmpty())
        statements.append(rest);
    return statements;
}

void InstallSchema(QSqlDatabase db, quint8 dataBaseType, bool withData) {
    const QString schema = SchemaScript(dataBaseType);
    if (schema.isEmpty())
        throw DbError(QStringLiteral("no schema script for database kind %1")
                          .arg(dataBaseType)
                          .toStdString());
    QStringList statements =
        SplitSqlScript(schema) + SplitSqlScript(AlarmOutboxScript(dataBaseType));
    // On PostgreSQL the tables several nodes share come with the rest.
    if (dataBaseType == 3)
        statements += SplitSqlScript(ClusterScript());
    if (withData) {
        const QString data = DataScript();
        if (data.isEmpty())
            throw DbError("the dictionary data script is not available");
        statements += SplitSqlScript(data);
    }

    if (!db.transaction())
        throw DbError(QStringLiteral("cannot start a transaction: %1")
                          .arg(db.lastError().text().trimmed())
                          .toStdString());
    for (const QString &statement : std::as_const(statements)) {
        QSqlQuery q(db);
        if (!q.exec(statement)) {
            const QString error = q.lastError().text().trimmed();
            q.finish();
            db.rollback();
            throw DbError(QStringLiteral("%1: %2").arg(statement, error).toStdString());
        }
    }
    if (!db.commit()) {
        const QString error = db.lastError().text().trimmed();
        db.rollback();
        throw DbError(QStringLiteral("commit failed: %1").arg(error).toStdString());
    }
}

bool InitDatabaseFile(const QString &path, bool withData, QString *message) {
    const QString refused =
        QStringLiteral("The database file %1 already exists; it was left untouched.").arg(path);
    if (path.isEmpty()) {
        SetMessage(message, QStringLiteral("No database file name given."));
        return false;
    }
    // A dangling symbolic link counts as existing: SQLite would create the
    // file wherever it points.
    const QFileInfo info(path);
    if (info.exists() || info.isSymLink()) {
        SetMessage(message, refused);
        return false;
    }
    // Create the file exclusively so that a file appearing meanwhile is never
    // taken over; SQLite accepts an empty file as a new database.
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            SetMessage(message, QFileInfo::exists(path)
                                    ? refused
                                    : QStringLiteral("Cannot create the database file %1: %2")
                                          .arg(path, file.errorString()));
            return false;
        }
    }

    const QString connection =
        QStringLiteral("mms-init-") + QUuid::createUuid().toString(QUuid::Id128);
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        if (!db.isValid()) {
            error = QStringLiteral("the SQLite driver is not available");
        } else if (!db.open()) {
            error = db.lastError().text().trimmed();
        } else {
            try {
                InstallSchema(db, 1, withData);
            } catch (const DbError &e) {
                error = QString::fromStdString(e.what());
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);

    if (!error.isEmpty()) {
        QFile::remove(path);
        QFile::remove(path + QStringLiteral("-journal"));
        SetMessage(message,
                   QStringLiteral("Cannot create the database file %1: %2").arg(path, error));
        return false;
    }
    SetMessage(message, QStringLiteral("Created the database file %1").arg(path));
    return true;
}
