#include "DataSetProvider1.h"

#include <QByteArray>
#include <QDateTime>
#include <QSqlField>

#include <cmath>

using nlohmann::json;

namespace {

QString Text(const std::string &s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string Dump(const json &value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

TRemoteError DatabaseError(const DbError &e) {
    return TRemoteError(RemoteErrorCode::DatabaseError, e.what());
}

} // namespace

const char *TDataSetProvider1::TypeName(const QMetaType &type) {
    switch (type.id()) {
    case QMetaType::Bool:
        return "boolean";
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return "integer";
    case QMetaType::Double:
    case QMetaType::Float:
        return "float";
    case QMetaType::QDateTime:
        return "datetime";
    case QMetaType::QDate:
        return "date";
    case QMetaType::QTime:
        return "time";
    case QMetaType::QByteArray:
        return "blob";
    default:
        return "string";
    }
}

json TDataSetProvider1::ValueOf(const QVariant &value) {
    if (!value.isValid() || value.isNull())
        return nullptr;
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return value.toULongLong();
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        return std::isfinite(d) ? json(d) : json(nullptr);
    }
    case QMetaType::QDateTime:
        return value.toDateTime().toString(Qt::ISODate).toStdString();
    case QMetaType::QDate:
        return value.toDate().toString(Qt::ISODate).toStdString();
    case QMetaType::QTime:
        return value.toTime().toString(Qt::ISODate).toStdString();
    case QMetaType::QByteArray:
        return value.toByteArray().toBase64().toStdString();
    default:
        return value.toString().toStdString();
    }
}

QVariant TDataSetProvider1::BoundValue(const json &value) {
    switch (value.type()) {
    case json::value_t::boolean:
        return value.get<bool>();
    case json::value_t::number_integer:
        return qlonglong(value.get<std::int64_t>());
    case json::value_t::number_unsigned:
        return qulonglong(value.get<std::uint64_t>());
    case json::value_t::number_float:
        return value.get<double>();
    case json::value_t::string:
        return Text(value.get_ref<const std::string &>());
    default:
        // A null of no particular type: every driver binds it as NULL.
        return QVariant();
    }
}

std::string TDataSetProvider1::GetRecords(const std::string &commandText, std::size_t maxBytes,
                                          const TRemoteFlush &flush) {
    std::string out;
    std::size_t sent = 0; // bytes already handed to the flush
    const auto bound = [&] {
        if (sent + out.size() > maxBytes)
            throw TRemoteError(RemoteErrorCode::ResultTooLarge,
                               "result larger than " + std::to_string(maxBytes) +
                                   " bytes; the connection is closed",
                               true);
    };
    bool firstRow = true;
    try {
        dataSet_.GetRecords(
            Text(commandText),
            [&](const QSqlRecord &fields) {
                json list = json::array();
                for (int i = 0; i < fields.count(); ++i)
                    list.push_back({{"name", fields.fieldName(i).toStdString()},
                                    {"type", TypeName(fields.field(i).metaType())}});
                out = R"({"fields":)" + Dump(list) + R"(,"rows":[)";
                bound();
            },
            [&](const QVariantList &row) {
                out += firstRow ? "[" : ",[";
                firstRow = false;
                for (qsizetype i = 0; i < row.size(); ++i) {
                    if (i > 0)
                        out += ',';
                    out += Dump(ValueOf(row[i]));
                }
                out += ']';
                bound();
                if (flush && out.size() >= FlushBytes) {
                    sent += out.size();
                    flush(out);
                    out.clear();
                }
            });
    } catch (const DbError &e) {
        throw DatabaseError(e);
    }
    out += "]}";
    return out;
}

std::int64_t TDataSetProvider1::Execute(const std::string &commandText) {
    try {
        return dataSet_.Execute(Text(commandText));
    } catch (const DbError &e) {
        throw DatabaseError(e);
    }
}

std::int64_t TDataSetProvider1::ApplyUpdates(const std::string &tableName,
                                             const std::vector<TRemoteDeltaRow> &delta) {
    const auto values = [](const std::vector<std::pair<std::string, json>> &columns) {
        std::vector<std::pair<QString, QVariant>> out;
        out.reserve(columns.size());
        for (const auto &[name, value] : columns)
            out.emplace_back(Text(name), BoundValue(value));
        return out;
    };
    std::vector<TDeltaChange> changes;
    changes.reserve(delta.size());
    for (const TRemoteDeltaRow &row : delta) {
        TDeltaChange change;
        change.kind = row.op == TRemoteDeltaRow::Op::Insert   ? TDeltaChange::Kind::Insert
                      : row.op == TRemoteDeltaRow::Op::Update ? TDeltaChange::Kind::Update
                                                              : TDeltaChange::Kind::Delete;
        change.oldValues = values(row.oldValues);
        change.newValues = values(row.newValues);
        changes.push_back(std::move(change));
    }
    try {
        return dataSet_.ApplyUpdates(Text(tableName), changes);
    } catch (const DbError &e) {
        throw DatabaseError(e);
    }
}
