#include "RemoteSession.h"

#include <algorithm>
#include <utility>

using nlohmann::json;

namespace {

std::string Dump(const json &value) {
    // Every string the service sends is valid UTF-8: what came from the
    // client was checked by the parser, what came from the database is
    // converted from text; replace keeps a stray byte from ending the reply.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The id echoed in a reply: a string, a number or null (anything else is not
// an id and is answered with null).
json ReplyId(const json &request) {
    if (!request.is_object())
        return nullptr;
    const auto it = request.find("id");
    if (it == request.end())
        return nullptr;
    if (it->is_string() || it->is_number() || it->is_null())
        return *it;
    return nullptr;
}

// A result reply line up to its result.
std::string ResultHead(const json &id) {
    return R"({"jsonrpc":"2.0","id":)" + Dump(id) + R"(,"result":)";
}

std::string ResultLine(const json &id, const std::string &resultText) {
    return ResultHead(id) + resultText + "}";
}

std::string ErrorLine(const json &id, int code, const std::string &message) {
    // In the order a reader expects: jsonrpc, id, error.
    const nlohmann::ordered_json reply = {
        {"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

TRemoteError InvalidParams(const std::string &what) {
    return TRemoteError(RemoteErrorCode::InvalidParams, what);
}

// The one text argument of a method: params [text] or {"<name>": text}.
std::string TextParam(const json &params, const char *name) {
    if (params.is_array() && params.size() == 1 && params[0].is_string())
        return params[0].get<std::string>();
    if (params.is_object()) {
        const auto it = params.find(name);
        if (it != params.end() && it->is_string())
            return it->get<std::string>();
    }
    throw InvalidParams(std::string("expected params [text] or {\"") + name + "\": text}");
}

// The column values of one side of a delta row.
std::vector<std::pair<std::string, json>> Columns(const json &row, const char *side) {
    const auto it = row.find(side);
    if (it == row.end() || !it->is_object() || it->empty())
        throw InvalidParams(std::string("delta row without \"") + side +
                            "\": an object of column values");
    std::vector<std::pair<std::string, json>> columns;
    for (const auto &[name, value] : it->items()) {
        if (name.empty())
            throw InvalidParams("a column name is empty");
        if (value.is_structured())
            throw InvalidParams("column \"" + name +
                                "\": a value must be null, a boolean, a "
                                "number or a text");
        columns.emplace_back(name, value);
    }
    return columns;
}

std::vector<TRemoteDeltaRow> Delta(const json &params) {
    const auto it = params.find("delta");
    if (it == params.end() || !it->is_array())
        throw InvalidParams("expected {\"delta\": [...]}");
    std::vector<TRemoteDeltaRow> rows;
    rows.reserve(it->size());
    for (const json &entry : *it) {
        if (!entry.is_object())
            throw InvalidParams("a delta row must be an object");
        const auto op = entry.find("op");
        TRemoteDeltaRow row;
        if (op == entry.end() || !op->is_string())
            throw InvalidParams("a delta row needs \"op\": insert, update or delete");
        const std::string &name = op->get_ref<const std::string &>();
        if (name == "insert") {
            row.op = TRemoteDeltaRow::Op::Insert;
            row.newValues = Columns(entry, "new");
        } else if (name == "update") {
            row.op = TRemoteDeltaRow::Op::Update;
            row.oldValues = Columns(entry, "old");
            row.newValues = Columns(entry, "new");
        } else if (name == "delete") {
            row.op = TRemoteDeltaRow::Op::Delete;
            row.oldValues = Columns(entry, "old");
        } else {
            throw InvalidParams("unknown delta op \"" + name + "\"");
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// Constant time over the token's length, so that the reply time does not
// tell how much of a guess was right.
bool SameToken(const std::string &a, const std::string &b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

} // namespace

TRemoteSession::TRemoteSession(TRemoteProvider &provider, TRemoteSessionOptions options)
    : provider_(provider), options_(std::move(options)) {}

void TRemoteSession::Feed(std::string_view bytes) {
    if (closing_)
        return;
    // Drop what has been handled once it is most of the buffer, so the
    // buffer holds little more than the line being received.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes);
}

std::size_t TRemoteSession::LineLimit() const {
    return options_.token.empty() || loggedIn_
               ? options_.maxLineBytes
               : std::min(options_.maxLineBytes, options_.maxPreLoginBytes);
}

bool TRemoteSession::HasWork() const {
    if (closing_)
        return false;
    const std::size_t from = start_ + scanned_;
    return buffer_.find('\n', from) != std::string::npos || buffer_.size() - start_ > LineLimit();
}

bool TRemoteSession::HandleNext(std::string &reply) {
    reply.clear();
    if (closing_)
        return false;
    const std::size_t end = buffer_.find('\n', start_ + scanned_);
    if (end == std::string::npos) {
        scanned_ = buffer_.size() - start_;
        if (scanned_ <= LineLimit())
            return false;
        reply = LineTooLong();
        return true;
    }
    std::string_view line(buffer_.data() + start_, end - start_);
    start_ = end + 1;
    scanned_ = 0;
    if (line.size() > LineLimit()) {
        reply = LineTooLong();
        return true;
    }
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    reply = HandleLine(line);
    if (!reply.empty())
        reply += '\n';
    return true;
}

std::string TRemoteSession::LineTooLong() {
    closing_ = true;
    return ErrorLine(nullptr, RemoteErrorCode::RequestTooLarge,
                     "request line longer than " + std::to_string(LineLimit()) + " bytes") +
           "\n";
}

void TRemoteSession::CountFailure() {
    if (options_.token.empty() || loggedIn_)
        return;
    if (++failures_ >= options_.maxLoginFailures)
        closing_ = true;
}

std::string TRemoteSession::Failure(const json &id, bool notification, const TRemoteError &e) {
    if (e.CloseConnection())
        closing_ = true;
    return notification ? std::string() : ErrorLine(id, e.Code(), e.what());
}

std::string TRemoteSession::HandleLine(std::string_view line) {
    if (closing_)
        return {};
    // Blank lines (keep-alives) are skipped.
    if (std::all_of(line.begin(), line.end(),
                    [](char c) { return c == ' ' || c == '\t' || c == '\r'; }))
        return {};
    if (!ShapeWithin(line, options_.maxJsonDepth, options_.maxJsonValues)) {
        CountFailure();
        return ErrorLine(nullptr, RemoteErrorCode::InvalidRequest,
                         "request nested or sized beyond the service's bounds");
    }
    json request;
    try {
        request = json::parse(line.begin(), line.end());
    } catch (const json::exception &e) {
        CountFailure();
        return ErrorLine(nullptr, RemoteErrorCode::ParseError,
                         std::string("Parse error: ") + e.what());
    }

    const json id = ReplyId(request);
    const bool notification = request.is_object() && !request.contains("id");
    try {
        if (!request.is_object())
            throw TRemoteError(RemoteErrorCode::InvalidRequest,
                               "Invalid Request: one JSON object per line");
        const auto version = request.find("jsonrpc");
        const auto method = request.find("method");
        if (version == request.end() || *version != "2.0" || method == request.end() ||
            !method->is_string())
            throw TRemoteError(RemoteErrorCode::InvalidRequest,
                               "Invalid Request: needs \"jsonrpc\": \"2.0\" and a method name");
        if (const auto it = request.find("id");
            it != request.end() && !(it->is_string() || it->is_number() || it->is_null()))
            throw TRemoteError(RemoteErrorCode::InvalidRequest,
                               "Invalid Request: id must be a text, a number or null");
        json params = json::array();
        if (const auto it = request.find("params"); it != request.end()) {
            if (!it->is_array() && !it->is_object())
                throw TRemoteError(RemoteErrorCode::InvalidRequest,
                                   "Invalid Request: params must be an array or an object");
            params = std::move(*it);
        }
        const std::string &name = method->get_ref<const std::string &>();
        if (name == "Login") {
            const std::string given = TextParam(params, "token");
            if (!options_.token.empty() && !SameToken(given, options_.token)) {
                if (options_.onLoginFailure)
                    options_.onLoginFailure();
                throw TRemoteError(RemoteErrorCode::LoginRequired, "Login failed");
            }
            loggedIn_ = true;
            return notification ? std::string() : ResultLine(id, "true");
        }
        if (!options_.token.empty() && !loggedIn_)
            throw TRemoteError(RemoteErrorCode::LoginRequired,
                               "Login required: call Login with the service's token first");
        streamed_ = false;
        std::string result = Call(name, params, notification ? nullptr : &id);
        if (notification)
            return {};
        return streamed_ ? result + "}" : ResultLine(id, result);
    } catch (const TRemoteError &e) {
        CountFailure();
        if (streamed_)
            return BrokenStream();
        return Failure(id, notification, e);
    } catch (const std::exception &e) {
        if (streamed_)
            return BrokenStream();
        // A fault of the service itself (for example out of memory): the
        // client hears of it, the connection ends.
        return Failure(id, notification,
                       TRemoteError(RemoteErrorCode::DatabaseError, e.what(), true));
    }
}

std::string TRemoteSession::BrokenStream() {
    // Part of the reply line has gone out: no error reply can follow it, so
    // the connection ends (the client sees the line cut short).
    streamed_ = false;
    closing_ = true;
    return {};
}

std::string TRemoteSession::Call(const std::string &method, const json &params,
                                 const json *replyId) {
    if (method == "EchoString")
        return Dump(TextParam(params, "Value"));
    if (method == "ReverseString")
        return Dump(ReverseUtf8(TextParam(params, "Value")));
    if (method == "DataSetProvider1.GetRecords") {
        TRemoteFlush flush;
        if (output_ && replyId)
            flush = [&](std::string &part) {
                if (!streamed_) {
                    part.insert(0, ResultHead(*replyId));
                    streamed_ = true;
                }
                output_(part);
                part.clear();
            };
        return provider_.GetRecords(TextParam(params, "commandText"), options_.maxResultBytes,
                                    flush);
    }
    if (method == "DataSetProvider1.Execute")
        return Dump(json{{"rowsAffected", provider_.Execute(TextParam(params, "commandText"))}});
    if (method == "DataSetProvider1.ApplyUpdates") {
        if (!params.is_object())
            throw InvalidParams("expected {\"tableName\"?: text, \"delta\": [...]}");
        std::string table;
        if (const auto it = params.find("tableName"); it != params.end()) {
            if (!it->is_string())
                throw InvalidParams("tableName must be a text");
            table = it->get<std::string>();
        }
        return Dump(json{{"applied", provider_.ApplyUpdates(table, Delta(params))}});
    }
    throw TRemoteError(RemoteErrorCode::MethodNotFound, "Method not found: " + method);
}

std::string TRemoteSession::ReverseUtf8(const std::string &text) {
    // Split into whole sequences (a lead byte and its continuation bytes),
    // then put the sequences in reverse order.
    std::string out;
    out.reserve(text.size());
    std::size_t end = text.size();
    while (end > 0) {
        std::size_t begin = end - 1;
        while (begin > 0 && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80 &&
               end - begin < 4)
            --begin;
        out.append(text, begin, end - begin);
        end = begin;
    }
    return out;
}

bool TRemoteSession::ShapeWithin(std::string_view text, int maxDepth, std::size_t maxValues) {
    int depth = 0;
    std::size_t values = 1;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '{':
        case '[':
            if (++depth > maxDepth)
                return false;
            [[fallthrough]];
        case ',':
        case ':':
            if (++values > maxValues)
                return false;
            break;
        case '}':
        case ']':
            --depth;
            break;
        default:
            break;
        }
    }
    return true;
}
