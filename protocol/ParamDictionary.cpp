#include "ParamDictionary.h"

#include "ConvertError.h"
#include "HexText.h"
#include "LogCategories.h"

#include <QHash>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

QStringList lstParamProperty;
QStringList lstUnitNameParam;
QStringList lstProportionalNameParam;
QStringList lstMapCommFlag;
QStringList lstResponseFlag;
QStringList lstCommError;
QStringList lstEquipmentType;
std::vector<TCodeNameInfo> lstCodeNameParam;

namespace {

// The four characters after the first "#" (the first four when there is no "#").
QStringView ParamCodeOf(QStringView entry) {
    return CopyText(entry, entry.indexOf(u'#') + 2, 4);
}

QStringView KeyView(QStringView entry) {
    const qsizetype hash = entry.indexOf(u'#');
    return hash < 0 ? QStringView() : entry.first(hash);
}

// Index of the first entry for every key of the lists read on the hot path.
// It keeps shallow copies of the lists it was built from: while they share
// the globals' data, the globals are unchanged; any change to a global
// detaches it from the copy, which the pointer comparison notices.
struct DictionaryIndex {
    QStringList param, unit, proportional, mapComm, response;
    QHash<QString, qsizetype> paramByCode, unitByKey, proportionalByKey, mapCommByKey,
        responseByKey;

    bool Matches() const {
        return Same(param, lstParamProperty) && Same(unit, lstUnitNameParam) &&
               Same(proportional, lstProportionalNameParam) && Same(mapComm, lstMapCommFlag) &&
               Same(response, lstResponseFlag);
    }

    static bool Same(const QStringList &snapshot, const QStringList &global) {
        return snapshot.size() == global.size() && snapshot.constData() == global.constData();
    }

    template <typename KeyFn>
    static QHash<QString, qsizetype> Build(const QStringList &list, KeyFn key) {
        QHash<QString, qsizetype> hash;
        hash.reserve(list.size());
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QString k = key(QStringView(list[i])).toString();
            if (!hash.contains(k))
                hash.insert(k, i);
        }
        return hash;
    }

    DictionaryIndex()
        : param(lstParamProperty), unit(lstUnitNameParam), proportional(lstProportionalNameParam),
          mapComm(lstMapCommFlag), response(lstResponseFlag) {
        paramByCode = Build(param, ParamCodeOf);
        unitByKey = Build(unit, KeyView);
        proportionalByKey = Build(proportional, KeyView);
        mapCommByKey = Build(mapComm, KeyView);
        responseByKey = Build(response, KeyView);
    }

    // The entry of the first match, or nullptr.
    static const QString *Find(const QStringList &list, const QHash<QString, qsizetype> &hash,
                               const QString &key) {
        const auto it = hash.constFind(key);
        return it == hash.cend() ? nullptr : &list[*it];
    }
};

std::mutex indexLock;
std::shared_ptr<const DictionaryIndex> currentIndex;

std::shared_ptr<const DictionaryIndex> Index() {
    std::lock_guard guard(indexLock);
    if (!currentIndex || !currentIndex->Matches())
        currentIndex = std::make_shared<const DictionaryIndex>();
    return currentIndex;
}

QString Column(const TableRow &row, const QString &name) {
    const auto exact = row.constFind(name);
    if (exact != row.cend())
        return exact.value();
    for (auto it = row.cbegin(); it != row.cend(); ++it)
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    throw std::runtime_error("column " + name.toStdString() + " missing");
}

// Fills a KeyColumn + "#" + Name list from one table.
void LoadKeyNameList(const TableReader &reader, const QString &table, const QString &keyColumn,
                     QStringList &list) {
    list.clear();
    const std::vector<TableRow> rows = reader(QStringLiteral("select * from ") + table);
    for (const TableRow &row : rows)
        list.append(Column(row, keyColumn) + QLatin1Char('#') +
                    Column(row, QStringLiteral("Name")));
}

void LoadCodeNames(const TableReader &reader) {
    lstCodeNameParam.clear();
    const std::vector<TableRow> rows = reader(QStringLiteral("select * from CodeName"));
    QHash<QString, size_t> byCode; // first TCodeNameInfo of each code
    for (const TableRow &row : rows) {
        const QString code = Column(row, QStringLiteral("Code"));
        const QString entry = Column(row, QStringLiteral("KeyNum")) + QLatin1Char('#') +
                              Column(row, QStringLiteral("Name"));
        const auto it = byCode.constFind(code);
        if (it != byCode.cend()) {
            lstCodeNameParam[*it].Body.Name.append(entry);
        } else {
            byCode.insert(code, lstCodeNameParam.size());
            lstCodeNameParam.push_back(TCodeNameInfo{TCodeNameRecord{code, QStringList{entry}}});
        }
    }
}

const TCodeNameInfo *FindCodeName(const QString &Code) {
    for (const TCodeNameInfo &info : lstCodeNameParam)
        if (info.Body.Code == Code)
            return &info;
    return nullptr;
}

} // namespace

QString EntryKey(QStringView entry) {
    return KeyView(entry).toString();
}

QString EntryDisplayName(QStringView entry) {
    return TrimBlanks(entry.sliced(entry.indexOf(u'&') + 1)).toString();
}

void LoadParamProperyList(const TableReader &reader) {
    try {
        const std::vector<TableRow> rows = reader(QStringLiteral("select * from ParamProperty"));
        for (const TableRow &row : rows)
            lstParamProperty.append(
                Column(row, QStringLiteral("ParamType")) +
                Column(row, QStringLiteral("ParamUnit")) + Column(row, QStringLiteral("CanSet")) +
                Column(row, QStringLiteral("Len")) + QLatin1Char('#') +
                Column(row, QStringLiteral("ParamCode")) + Column(row, QStringLiteral("Name")));
        LoadKeyNameList(reader, QStringLiteral("MapCommFlag"), QStringLiteral("KeyNum"),
                        lstMapCommFlag);
        LoadKeyNameList(reader, QStringLiteral("ResponseFlag"), QStringLiteral("KeyNum"),
                        lstResponseFlag);
        LoadKeyNameList(reader, QStringLiteral("UnitName"), QStringLiteral("Code"),
                        lstUnitNameParam);
        LoadKeyNameList(reader, QStringLiteral("ProportionalName"), QStringLiteral("Code"),
                        lstProportionalNameParam);
        LoadKeyNameList(reader, QStringLiteral("CommError"), QStringLiteral("KeyNum"),
                        lstCommError);
        LoadCodeNames(reader);
        LoadKeyNameList(reader, QStringLiteral("EquipmentType"), QStringLiteral("KeyNum"),
                        lstEquipmentType);
    } catch (const std::exception &e) {
        // A missing table or column or a lost connection ends the loading
        // here; start-up goes on with what was read.
        qCDebug(lcProtocol) << "dictionary loading ended early:" << e.what();
    }
}

QString GetParamProperty(const QString &ParamCode) {
    if (ParamCode.isEmpty())
        return {};
    const auto index = Index();
    const QString *entry = DictionaryIndex::Find(index->param, index->paramByCode, ParamCode);
    return entry ? *entry : QString();
}

QString GetUnit(const QString &Key) {
    const auto index = Index();
    const QString *entry = DictionaryIndex::Find(index->unit, index->unitByKey, Key);
    return entry ? EntryDisplayName(*entry) : QString();
}

QString GetProportional(const QString &Key) {
    const auto index = Index();
    const QString *entry =
        DictionaryIndex::Find(index->proportional, index->proportionalByKey, Key);
    if (!entry)
        return {};
    const QStringView e(*entry);
    return TrimBlanks(e.sliced(e.indexOf(u'#') + 1)).toString();
}

QString GetMapCommFlag(const QString &Key) {
    const auto index = Index();
    const QString *entry = DictionaryIndex::Find(index->mapComm, index->mapCommByKey, Key);
    return entry ? EntryDisplayName(*entry) : QString();
}

QString GetResponseFlag(const QString &Key) {
    const auto index = Index();
    const QString *entry = DictionaryIndex::Find(index->response, index->responseByKey, Key);
    return entry ? EntryDisplayName(*entry) : QStringLiteral("Other Error");
}

int ParamNameToCode(const QString &Code, const QString &s) {
    const TCodeNameInfo *info = FindCodeName(Code);
    if (!info)
        return -1;
    for (const QString &entry : info->Body.Name)
        if (EntryDisplayName(entry) == s)
            return DecimalToInt(KeyView(entry));
    return -1;
}

QString CodeToParamName(const QString &Code, int Key) {
    if (const TCodeNameInfo *info = FindCodeName(Code)) {
        for (const QString &entry : info->Body.Name) {
            if (DecimalToInt(KeyView(entry)) == Key) {
                const QStringView e(entry);
                return e.sliced(e.indexOf(u'&') + 1).toString();
            }
        }
    }
    return QStringLiteral("Unknown Name");
}

int NameToEquipmentType(const QString &Key) {
    for (const QString &entry : std::as_const(lstEquipmentType))
        if (EntryDisplayName(entry) == Key)
            return DecimalToInt(KeyView(entry));
    return 0;
}

QString EquipmentTypeToName(int Key) {
    for (const QString &entry : std::as_const(lstEquipmentType))
        if (DecimalToInt(KeyView(entry)) == Key)
            return EntryDisplayName(entry);
    return {};
}
