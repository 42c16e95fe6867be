// The remote data service's request handling on arbitrary bytes: line
// cutting, JSON parsing, method dispatch and the login, with a provider that
// answers or fails as the input says. Every reply must be one line of valid
// JSON, and what waits unhandled stays within the line bound.
#include "RemoteSession.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

class ScriptedProvider : public TRemoteProvider {
public:
    std::string GetRecords(const std::string &commandText, std::size_t maxBytes,
                           const TRemoteFlush &flush) override {
        Maybe(commandText);
        if (flush && commandText.find("rows") != std::string::npos) {
            // A result that goes out in parts; "err" after them breaks it.
            std::string part = R"({"fields":[{"name":"a","type":"integer"}],"rows":[[1])";
            flush(part);
            part = ",[2]";
            flush(part);
            if (commandText.find("late") != std::string::npos)
                throw TRemoteError(RemoteErrorCode::DatabaseError, "broken");
            return "]}";
        }
        if (commandText.find("big") != std::string::npos)
            throw TRemoteError(RemoteErrorCode::ResultTooLarge,
                               "larger than " + std::to_string(maxBytes), true);
        return nlohmann::json{
            {"fields", nlohmann::json::array({{{"name", commandText}, {"type", "string"}}})},
            {"rows", nlohmann::json::array({{commandText, nullptr, 1}})}}
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    std::int64_t Execute(const std::string &commandText) override {
        Maybe(commandText);
        return std::int64_t(commandText.size());
    }
    std::int64_t ApplyUpdates(const std::string &tableName,
                              const std::vector<TRemoteDeltaRow> &delta) override {
        Maybe(tableName);
        for (const TRemoteDeltaRow &row : delta) {
            if (row.op != TRemoteDeltaRow::Op::Insert && row.oldValues.empty())
                std::abort(); // an update or delete must always name its row
            if (row.op != TRemoteDeltaRow::Op::Delete && row.newValues.empty())
                std::abort();
            for (const auto &side : {row.oldValues, row.newValues})
                for (const auto &[name, value] : side)
                    if (name.empty() || value.is_structured())
                        std::abort();
        }
        return std::int64_t(delta.size());
    }

private:
    static void Maybe(const std::string &text) {
        if (text.find("err") != std::string::npos)
            throw TRemoteError(RemoteErrorCode::DatabaseError, "failed: " + text);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte chooses the setting and the size of the pieces the rest
    // arrives in.
    const std::uint8_t control = data[0];
    std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);
    TRemoteSessionOptions options;
    options.maxLineBytes = 512;
    options.maxJsonValues = 200;
    options.maxJsonDepth = 16;
    if (control & 1)
        options.token = "t0ken";
    const std::size_t piece = 1 + (control >> 1);
    ScriptedProvider provider;
    TRemoteSession session(provider, options);
    std::string streamed;
    session.SetOutput([&](std::string_view part) { streamed += part; });
    std::string reply;
    for (std::size_t at = 0; at < input.size(); at += piece) {
        session.Feed(input.substr(at, piece));
        while (session.HandleNext(reply)) {
            // What went out while the call ran comes first; a call broken
            // after it has no reply and ends the connection.
            reply.insert(0, streamed);
            const bool broken = !streamed.empty() && reply.size() == streamed.size();
            streamed.clear();
            if (broken && !session.Closing())
                std::abort();
            if (reply.empty() || broken)
                continue;
            if (reply.back() != '\n' || reply.find('\n') != reply.size() - 1)
                std::abort();
            const auto parsed = nlohmann::json::parse(reply, nullptr, false);
            if (parsed.is_discarded() || !parsed.is_object() ||
                parsed.value("jsonrpc", "") != "2.0")
                std::abort();
        }
        if (session.Closing())
            break;
        if (session.Buffered() > options.maxLineBytes + piece)
            std::abort();
    }
    return 0;
}
