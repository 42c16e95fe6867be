// The request side of one remote data service connection: cuts the byte
// stream into lines, reads each as a JSON-RPC 2.0 request, checks the login
// and calls the method. Knows no socket and no database: the provider does
// the database work.
//
// Wire form: one JSON object per line (UTF-8, ended by "\n"; a "\r" before it
// is ignored); every request with an "id" gets exactly one reply line, a
// request without one (a notification) gets none. A line that is not JSON, or
// not valid UTF-8, gets a parse error and the connection stays usable.
#pragma once

#include "RemoteProvider.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

struct TRemoteSessionOptions {
    // When not empty, the first call must be "Login" with this token.
    std::string token;
    // Longest request line; a longer one ends the connection.
    std::size_t maxLineBytes = std::size_t(16) << 20;
    // Longest request line before Login (when a token is set): a stranger may
    // not make the service hold or parse more than this.
    std::size_t maxPreLoginBytes = std::size_t(64) << 10;
    // Largest GetRecords result; a larger one ends the connection.
    std::size_t maxResultBytes = std::size_t(64) << 20;
    // Failed calls before a successful Login after which the connection ends.
    int maxLoginFailures = 3;
    // Values (of any nesting) one request may hold, so that a request of a
    // few MiB cannot take hundreds of MiB once parsed.
    std::size_t maxJsonValues = 2'000'000;
    // Nesting depth one request may have.
    int maxJsonDepth = 64;
    // Told of every Login with a wrong token (the caller logs and slows the
    // address down).
    std::function<void()> onLoginFailure;
};

class TRemoteSession {
public:
    TRemoteSession(TRemoteProvider &provider, TRemoteSessionOptions options);

    // Appends received bytes.
    void Feed(std::string_view bytes);
    // True when a complete line (or an over-long one) waits to be handled.
    bool HasWork() const;
    // Handles the next waiting line. reply gets the reply line with its "\n",
    // or stays empty (a notification, a blank line). False when nothing waits.
    bool HandleNext(std::string &reply);
    // The connection is to be closed once the last reply has been sent.
    bool Closing() const { return closing_; }
    // Bytes received and not handled yet.
    std::size_t Buffered() const { return buffer_.size() - start_; }
    bool LoggedIn() const { return loggedIn_; }
    const TRemoteSessionOptions &Options() const { return options_; }
    // Where the leading part of a large GetRecords reply goes while the rows
    // are still being read; the rest comes back from HandleNext. Without it
    // the whole reply comes back from HandleNext.
    void SetOutput(std::function<void(std::string_view)> output) { output_ = std::move(output); }

    // True when the text is one JSON value nested at most maxDepth deep with
    // at most maxValues values, as far as a scan of its brackets and commas
    // tells (one pass, no allocation). It lets the parser run without a
    // per-value callback, whose bookkeeping grows with the square of a
    // container's size.
    static bool ShapeWithin(std::string_view text, int maxDepth, std::size_t maxValues);

    // One request line (without its "\n") -> its reply (without "\n"; empty
    // for a notification).
    std::string HandleLine(std::string_view line);

    // The characters of a UTF-8 text in reverse order (code points, so that
    // a character of several bytes stays whole).
    static std::string ReverseUtf8(const std::string &text);

private:
    // The JSON text of the result of one call. Throws TRemoteError.
    // replyId: the id of the reply, null for a notification (whose result is
    // never sent, so never streamed).
    std::string Call(const std::string &method, const nlohmann::json &params,
                     const nlohmann::json *replyId);
    std::string BrokenStream();
    std::string Failure(const nlohmann::json &id, bool notification, const TRemoteError &e);
    void CountFailure();
    // The error reply to an over-long line; the connection is to be closed.
    std::string LineTooLong();
    // The longest line accepted now.
    std::size_t LineLimit() const;

    TRemoteProvider &provider_;
    TRemoteSessionOptions options_;
    std::string buffer_;
    std::size_t start_ = 0;   // first byte not handled
    std::size_t scanned_ = 0; // bytes from start_ known to hold no "\n"
    bool closing_ = false;
    bool loggedIn_ = false;
    int failures_ = 0;
    std::function<void(std::string_view)> output_;
    // The reply line of the call under way has begun to go out.
    bool streamed_ = false;
};
