#include "UserTableTransfer.h"

#include "PublicU.h"
#include "UserRegisterTable.h"

#include <QFile>
#include <QSaveFile>
#include <QSqlField>

#include <algorithm>

namespace {

enum class ColumnKind { Text, Integer, DateTime };

ColumnKind KindOf(const QString &column, const QSqlField &field) {
    if (column.compare(QLatin1String("RegisterTime"), Qt::CaseInsensitive) == 0 ||
        column.compare(QLatin1String("LoginTime"), Qt::CaseInsensitive) == 0 ||
        field.metaType().id() == QMetaType::QDateTime)
        return ColumnKind::DateTime;
    if (column.compare(QLatin1String("UseState"), Qt::CaseInsensitive) == 0)
        return ColumnKind::Integer;
    return ColumnKind::Text;
}

// The schema's spelling of the account tables' columns; the database may
// report them folded to lower case.
const QStringList KnownColumns = {QStringLiteral("UserName"),      QStringLiteral("UserPassword"),
                                  QStringLiteral("Email"),         QStringLiteral("UserPhone"),
                                  QStringLiteral("RegisterTime"),  QStringLiteral("LoginTime"),
                                  QStringLiteral("UseState"),      QStringLiteral("EquipmentCode"),
                                  QStringLiteral("EquipmentName"), QStringLiteral("EquipmentType")};

QString SchemaName(const QString &column) {
    for (const QString &known : KnownColumns)
        if (known.compare(column, Qt::CaseInsensitive) == 0)
            return known;
    return column;
}

// The account table of that name; throws for any other name, which is
// never put into a statement.
QString AccountTable(const QString &name) {
    for (const QString &table : UserTableNames)
        if (table.compare(name, Qt::CaseInsensitive) == 0)
            return table;
    throw DbError(QStringLiteral("\"%1\" is not an account table").arg(name).toStdString());
}

QVariant ImportValue(const QString &column, ColumnKind kind, const QString &text,
                     const SqlDialect &dialect) {
    switch (kind) {
    case ColumnKind::Integer: {
        bool ok = false;
        const int v = text.toInt(&ok);
        if (!ok)
            throw DbError(
                QStringLiteral("%1: \"%2\" is not an integer").arg(column, text).toStdString());
        return v;
    }
    case ColumnKind::DateTime: {
        const QDateTime t = ReadAccountDateTime(text);
        if (!t.isValid())
            throw DbError(
                QStringLiteral("%1: \"%2\" is not a date").arg(column, text).toStdString());
        return dialect.DateTimeValue(t);
    }
    case ColumnKind::Text:
        break;
    }
    return text;
}

} // namespace

TTableBlock TUserTableTransfer::ExportDataTable(const QString &TableName) {
    const QString table = AccountTable(TableName);
    TdmNet::Session session(db_);
    QSqlQuery q = session.Query(QStringLiteral("select * from ") + table);
    const QSqlRecord columns = q.record();
    TTableBlock block;
    block.TableName = table;
    std::vector<ColumnKind> kinds;
    for (int i = 0; i < columns.count(); ++i) {
        block.Fields.append(SchemaName(columns.fieldName(i)));
        kinds.push_back(KindOf(columns.fieldName(i), columns.field(i)));
    }
    const SqlDialect &dialect = db_.Dialect();
    while (q.next()) {
        QStringList values;
        for (int i = 0; i < columns.count(); ++i) {
            const QVariant v = q.value(i);
            if (v.isNull())
                values.append(QString());
            else if (kinds[i] == ColumnKind::DateTime)
                values.append(AccountTimeText(dialect.ReadDateTime(v)));
            else
                values.append(v.toString().trimmed());
        }
        block.Rows.push_back(std::move(values));
    }
    return block;
}

QString TUserTableTransfer::ImportDataTable(const std::vector<TTableBlock> &blocks) {
    QString result;
    TdmNet::Transaction tx(db_);
    const SqlDialect &dialect = db_.Dialect();
    for (const TTableBlock &block : blocks) {
        const QString table = AccountTable(block.TableName);
        // The file's columns, matched to the table's own.
        const QSqlRecord record =
            tx.Query(QStringLiteral("select * from ") + table + QStringLiteral(" where 1=0"))
                .record();
        std::vector<QString> columns;
        std::vector<ColumnKind> kinds;
        for (const QString &field : block.Fields) {
            int index = -1;
            for (int i = 0; i < record.count() && index < 0; ++i)
                if (record.fieldName(i).compare(field, Qt::CaseInsensitive) == 0)
                    index = i;
            if (index < 0)
                throw DbError(
                    QStringLiteral("%1 has no column \"%2\"").arg(table, field).toStdString());
            columns.push_back(record.fieldName(index));
            kinds.push_back(KindOf(field, record.field(index)));
        }
        tx.Exec(QStringLiteral("delete from ") + table);
        for (const QStringList &row : block.Rows) {
            QStringList names;
            QVariantList values;
            for (size_t i = 0; i < columns.size() && i < static_cast<size_t>(row.size()); ++i) {
                const QString &text = row[static_cast<qsizetype>(i)];
                if (text.isEmpty())
                    continue;
                names.append(columns[i]);
                values.append(ImportValue(columns[i], kinds[i], text, dialect));
            }
            if (names.isEmpty()) {
                tx.Exec(QStringLiteral("insert into ") + table + QStringLiteral(" default values"));
                continue;
            }
            QStringList marks(names.size(), QStringLiteral("?"));
            tx.Exec(QStringLiteral("insert into %1 (%2) values (%3)")
                        .arg(table, names.join(QLatin1Char(',')), marks.join(QLatin1Char(','))),
                    values);
        }
        result += table + QLatin1Char(' ');
    }
    tx.Commit();
    return result;
}

QDateTime ReadAccountDateTime(const QString &text) {
    const QString t = text.trimmed();
    // Qt reads a two-digit year as 19xx.
    const bool twoDigitYear =
        !sysShortDate.contains(QLatin1String("yyyy")) && sysShortDate.contains(QLatin1String("yy"));
    for (const QString &format : {sysShortDate + QStringLiteral(" HH:mm:ss"), sysShortDate}) {
        QDateTime v = QDateTime::fromString(t, format);
        if (v.isValid())
            return twoDigitYear && v.date().year() < 1950 ? v.addYears(100) : v;
    }
    for (const char *format : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd"}) {
        const QDateTime v = QDateTime::fromString(t, QLatin1String(format));
        if (v.isValid())
            return v;
    }
    return {};
}

TUserTableFileResult ExportUserTableFile(TdmNet &db, const QString &path, const QString &codePage) {
    TUserTableFileResult r;
    std::vector<TTableBlock> blocks;
    try {
        TUserTableTransfer transfer(db);
        for (const QString &table : UserTableNames)
            blocks.push_back(transfer.ExportDataTable(table));
    } catch (const std::exception &e) {
        r.Message = QString::fromLatin1(ExportFailText);
        r.Detail = QString::fromStdString(e.what());
        return r;
    }
    const std::optional<QByteArray> bytes = EncodeUserTableFile(blocks, codePage);
    if (!bytes) {
        r.Message = QString::fromLatin1(ExportFailText);
        r.Detail = QStringLiteral("a value holds \"#@\" or a line break, or cannot be written "
                                  "in code page ") +
                   codePage;
        return r;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(*bytes) != bytes->size() || !file.commit()) {
        r.Message = QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString());
        r.Detail = file.errorString();
    }
    return r;
}

TUserTableFileResult ImportUserTableFile(TdmNet &db, const QString &path, const QString &codePage) {
    TUserTableFileResult r;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        r.Message = QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString());
        r.Detail = file.errorString();
        return r;
    }
    // The size is checked before reading, and the reading stops past it: a
    // device or pipe tells no size.
    const auto tooLarge = [&] {
        r.Message = QString::fromLatin1(ImportFailText);
        r.Detail = QStringLiteral("the file is larger than %1 bytes").arg(MaxUserTableFileBytes);
        return r;
    };
    if (file.size() > MaxUserTableFileBytes)
        return tooLarge();
    const QByteArray bytes = file.read(MaxUserTableFileBytes + 1);
    if (bytes.size() > MaxUserTableFileBytes)
        return tooLarge();
    const std::optional<QString> text = DecodeUserTableFile(bytes, codePage);
    QString why;
    const std::optional<std::vector<TTableBlock>> blocks =
        text ? ParseUserTableFile(*text, &why) : std::nullopt;
    if (!text)
        why = QStringLiteral("unknown code page ") + codePage;
    if (!blocks || blocks->empty()) {
        r.Message = QString::fromLatin1(ImportFailText);
        r.Detail = blocks ? QStringLiteral("the file holds no table") : why;
        return r;
    }
    // An account file holds both tables: one alone is a file cut short
    // between them, and would replace one table without the other.
    for (const QString &table : UserTableNames)
        if (std::none_of(blocks->begin(), blocks->end(), [&](const TTableBlock &b) {
                return b.TableName.compare(table, Qt::CaseInsensitive) == 0;
            })) {
            r.Message = QString::fromLatin1(ImportFailText);
            r.Detail = QStringLiteral("the file holds no table %1 (is it cut short?)").arg(table);
            return r;
        }
    try {
        r.Imported = TUserTableTransfer(db).ImportDataTable(*blocks);
    } catch (const std::exception &e) {
        r.Message = QString::fromLatin1(ImportFailText);
        r.Detail = QString::fromStdString(e.what());
        return r;
    }
    if (const std::optional<QString> likely = LikelyOtherEncoding(bytes, codePage))
        r.Warning = QStringLiteral("The file has no byte-order mark and was read in %1, but it "
                                   "looks like %2: check the imported names, or save the file "
                                   "as %2 with a byte-order mark and import it again.")
                        .arg(codePage, *likely);
    return r;
}
