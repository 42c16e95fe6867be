// The data provider of one remote connection: the request layer's provider
// over the store's command-text data set, turning rows into JSON and JSON
// values into bound values.
#pragma once

#include "RemoteDataSet.h"
#include "RemoteProvider.h"

class TDataSetProvider1 final : public TRemoteProvider {
public:
    explicit TDataSetProvider1(TdmNet &db) : dataSet_(db) {}

    std::string GetRecords(const std::string &commandText, std::size_t maxBytes,
                           const TRemoteFlush &flush) override;

    // Result text gathered before it is handed to the flush.
    static constexpr std::size_t FlushBytes = 64 * 1024;
    std::int64_t Execute(const std::string &commandText) override;
    std::int64_t ApplyUpdates(const std::string &tableName,
                              const std::vector<TRemoteDeltaRow> &delta) override;

    // The JSON form of one column value: null for NULL, numbers and booleans
    // as such, dates and times as ISO 8601 text, bytes as base64 text.
    static nlohmann::json ValueOf(const QVariant &value);
    // The type name of a column: string, integer, float, boolean, datetime,
    // date, time, blob.
    static const char *TypeName(const QMetaType &type);
    // The bound value of a JSON scalar.
    static QVariant BoundValue(const nlohmann::json &value);

private:
    TRemoteDataSet dataSet_;
};
