// What the request layer of the remote data service needs from the data
// provider behind it. The request layer knows no socket and no database, so
// that it can be tested and fuzzed alone.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// JSON-RPC error codes of the service.
namespace RemoteErrorCode {
inline constexpr int ParseError = -32700;
inline constexpr int InvalidRequest = -32600;
inline constexpr int MethodNotFound = -32601;
inline constexpr int InvalidParams = -32602;
inline constexpr int DatabaseError = -32000;   // the statement failed: the database's message
inline constexpr int LoginRequired = -32001;   // a token is set and no Login succeeded yet
inline constexpr int ResultTooLarge = -32002;  // the connection is closed after it
inline constexpr int RequestTooLarge = -32003; // the connection is closed after it
} // namespace RemoteErrorCode

// An error to send back to the client. closeConnection: the connection ends
// once the reply is sent.
class TRemoteError : public std::runtime_error {
public:
    TRemoteError(int code, const std::string &message, bool closeConnection = false)
        : std::runtime_error(message), code_(code), close_(closeConnection) {}
    int Code() const { return code_; }
    bool CloseConnection() const { return close_; }

private:
    int code_;
    bool close_;
};

// One validated row of an ApplyUpdates delta. The values are JSON scalars
// (null, boolean, number or string); an insert has only newValues, a delete
// only oldValues, an update both (oldValues never empty for either).
struct TRemoteDeltaRow {
    enum class Op { Insert, Update, Delete };
    Op op = Op::Insert;
    std::vector<std::pair<std::string, nlohmann::json>> oldValues;
    std::vector<std::pair<std::string, nlohmann::json>> newValues;
};

// Takes the leading part of a result while it is still being read (and
// empties it), so that a large result goes out as fast as the client takes
// it instead of being held whole. May throw to end the call.
using TRemoteFlush = std::function<void(std::string &part)>;

class TRemoteProvider {
public:
    virtual ~TRemoteProvider() = default;
    // The JSON text of the result object {"fields": [...], "rows": [[...]]}:
    // what flush (when given) has not taken yet. Throws TRemoteError:
    // DatabaseError, or ResultTooLarge (closing the connection) when the text
    // would pass maxBytes.
    virtual std::string GetRecords(const std::string &commandText, std::size_t maxBytes,
                                   const TRemoteFlush &flush) = 0;
    // The rows affected. Throws TRemoteError.
    virtual std::int64_t Execute(const std::string &commandText) = 0;
    // Applies the delta in one transaction to the table (empty: the one the
    // last GetRecords read); the rows applied. Throws TRemoteError.
    virtual std::int64_t ApplyUpdates(const std::string &tableName,
                                      const std::vector<TRemoteDeltaRow> &delta) = 0;
};
