// A log event: the line the operator reads (text and colour, exactly as
// shown) and what it is about, so that a view can sort, filter or route it
// without reading the text.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <concepts>
#include <cstddef>
#include <functional>
#include <utility>

// What happened.
enum class TLogKind {
    Note,       // anything else: settings, start-up, clean-up
    Heartbeat,  // a unit's heartbeat and the server's answer to it
    Reply,      // the server answers a client, or a unit answers a request
    Report,     // a unit reports data or an alarm on its own
    Request,    // a client asks; the server asks a unit
    Connect,    // a unit or a client connected or identified itself
    Disconnect, // a unit or a client went away
    Error,      // something failed or was refused
    Save,       // history or alarms written to the database
    Mail,       // alarm mail
};

// A set of kinds, one bit per kind: what a subscriber of the event stream
// wants to be handed.
using TLogKinds = quint32;
constexpr TLogKinds LogKindBit(TLogKind kind) {
    return TLogKinds(1) << static_cast<int>(kind);
}
constexpr TLogKinds AllLogKinds = ~TLogKinds(0);

// Which of the window's two log panes shows the event: the upper one holds
// connections, errors and everything else, the lower one the traffic.
enum class TLogPane { Events, Traffic };

struct TLogEvent {
    TLogKind kind = TLogKind::Note;
    TLogPane pane = TLogPane::Events;
    QString text;
    quint32 colour = 0xFFFFFF; // blue-green-red, as the window paints it
    QString unit;              // equipment code, when the event is about a unit
    QString address;           // peer address and port, when there is a peer
    int port = 0;
    QString user;        // client user name, when known
    QByteArray frame;    // the frame's bytes, when the event is about one
    QDateTime time = {}; // when it happened; stamped by the stream when left empty

    // What the event is about, added where the caller knows it.
    TLogEvent &WithUnit(const QString &code) { return unit = code, *this; }
    TLogEvent &WithPeer(const QString &peerAddress, int peerPort) {
        address = peerAddress;
        port = peerPort;
        return *this;
    }
    TLogEvent &WithUser(const QString &name) { return user = name, *this; }
    TLogEvent &WithFrame(const QByteArray &bytes) { return frame = bytes, *this; }
};

// An event of that kind for that pane.
TLogEvent LogEvent(TLogKind kind, TLogPane pane, const QString &text, quint32 colour);

// The pane a line of this colour has always gone to: yellow lines (traffic)
// below, the rest above.
TLogPane PaneOfColour(quint32 colour);

// A plain line: a note, in the pane its colour has always chosen.
TLogEvent NoteEvent(const QString &text, quint32 colour);

// Log callback: any thread may call it; events are shown in call order. An
// empty callback ignores what it is given. A callback written for the plain
// line (text, colour) still fits; the events it is handed then arrive as text.
class TCommInfoHint {
public:
    using Handler = std::function<void(const TLogEvent &)>;

    TCommInfoHint() = default;
    TCommInfoHint(std::nullptr_t) {}
    template <typename F>
    requires std::invocable<F &, const TLogEvent &> TCommInfoHint(F f) : handler_(std::move(f)) {}
    template <typename F>
    requires(!std::invocable<F &, const TLogEvent &> &&
             std::invocable<F &, const QString &, quint32>) TCommInfoHint(F f)
        : handler_([f = std::move(f)](const TLogEvent &e) mutable { f(e.text, e.colour); }) {}

    void operator()(const TLogEvent &event) const {
        if (handler_)
            handler_(event);
    }
    // A plain line: a note, in the pane its colour has always chosen.
    void operator()(const QString &text, quint32 colour) const;

    explicit operator bool() const { return static_cast<bool>(handler_); }

private:
    Handler handler_;
};
