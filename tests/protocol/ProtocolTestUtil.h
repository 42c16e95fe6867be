// Helpers for the codec suites: a clean set of dictionary lists per test, a
// temporary short date layout, and in-memory dictionary tables.
#pragma once

#include "ParamDictionary.h"
#include "PublicU.h"

#include <QString>
#include <QStringList>

#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace prototest {

inline void ClearDictionaries() {
    lstParamProperty.clear();
    lstUnitNameParam.clear();
    lstProportionalNameParam.clear();
    lstMapCommFlag.clear();
    lstResponseFlag.clear();
    lstCommError.clear();
    lstEquipmentType.clear();
    lstCodeNameParam.clear();
}

// Empty dictionaries for the lifetime of the object, and again afterwards.
class DictionaryScope {
public:
    DictionaryScope() { ClearDictionaries(); }
    ~DictionaryScope() { ClearDictionaries(); }
    DictionaryScope(const DictionaryScope &) = delete;
    DictionaryScope &operator=(const DictionaryScope &) = delete;
};

class ShortDateScope {
public:
    explicit ShortDateScope(const QString &layout) : saved_(sysShortDate) { sysShortDate = layout; }
    ~ShortDateScope() { sysShortDate = saved_; }
    ShortDateScope(const ShortDateScope &) = delete;
    ShortDateScope &operator=(const ShortDateScope &) = delete;

private:
    QString saved_;
};

// Dictionary tables held in memory; a statement for a table that is not
// there fails like a missing table.
class FakeTables {
public:
    void Add(const QString &table, const QStringList &columns,
             const std::vector<QStringList> &rows) {
        std::vector<TableRow> &target = tables_[table];
        for (const QStringList &values : rows) {
            TableRow row;
            for (qsizetype i = 0; i < columns.size() && i < values.size(); ++i)
                row.insert(columns[i], values[i]);
            target.push_back(row);
        }
    }
    void Remove(const QString &table) { tables_.erase(table); }

    TableReader Reader() const {
        return [this](const QString &statement) {
            statements_.push_back(statement);
            const QString prefix = QStringLiteral("select * from ");
            const auto it = tables_.find(statement.mid(prefix.size()));
            if (!statement.startsWith(prefix) || it == tables_.end())
                throw std::runtime_error("no such table");
            return it->second;
        };
    }
    const QStringList &Statements() const { return statements_; }

private:
    std::map<QString, std::vector<TableRow>> tables_;
    mutable QStringList statements_;
};

} // namespace prototest
