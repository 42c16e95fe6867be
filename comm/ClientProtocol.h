// The client text protocol without sockets: cutting "*" KeyFlag body "*"
// messages out of a connection's receive buffer, splitting the request
// bodies, and composing the texts the client server sends and logs.
//
// Everything here is a pure function of its arguments; it may run on any
// thread and survives any input text.
#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// One message cut from a client's stream: the two-character code and the
// trimmed rest of the text between the asterisks.
struct TClientMessage {
    QString KeyFlag;
    QString Body;
};

// The receive buffer of one client connection, RecClientPackStr, with the
// position up to which it has been consumed. Cutting advances the position
// instead of copying the rest of the text, so a read event that brings many
// messages costs time in proportion to its length.
class TClientPackBuffer {
public:
    // Appends decoded text received on the connection.
    void Append(QStringView text) { text_ += text; }

    // Cuts the next message. Returns nullopt when the buffer holds no
    // complete message; what is left then stays for the next read event.
    //
    // The text before the first "*" is discarded; the text up to the next
    // "*" is the message. A message shorter than 3 characters (after leading
    // blanks) is dropped and its closing "*" opens the next message.
    std::optional<TClientMessage> Take();

    // The text not yet consumed (what the connection keeps for later).
    QStringView Pending() const { return QStringView(text_).sliced(pos_); }
    qsizetype PendingSize() const { return text_.size() - pos_; }
    // Empties the buffer.
    void Clear();
    // Drops the consumed part, so the buffer's memory follows what is pending.
    void Compact();

private:
    QString text_;
    qsizetype pos_ = 0;
};

// A "00" login or "02" account-state body: two characters of suspend flag,
// then the user name (trimmed).
struct TSuspendBody {
    QString sSuspend;
    QString UserName;
};
TSuspendBody SplitSuspendBody(QStringView body);

// A "03" password reminder body: UserName "%" UserEmail. Without a "%" the
// name is empty and the whole body is the address.
struct TReminderBody {
    QString UserName;
    QString UserEmail;
};
TReminderBody SplitReminderBody(QStringView body);

// The parts of a "01" request body that the log line shows: the name after
// the first "#", and the data from the third character after the first "@"
// up to the first "#"; and the unit code before the first "@" (trimmed),
// which the log event carries.
struct TRequestLogParts {
    QString EquipmentName;
    QString Dictate;
    QString EquipmentCode;
};
TRequestLogParts SplitRequestForLog(QStringView body);

// The channel worker's queue entry for a "01" request:
// UserName "%" ClientIp "^" ClientPort "&" body.
QString ChannelEntry(const QString &UserName, const QString &ClientIp, int ClientPort,
                     const QString &body);

// The text a broadcast sends to one receiver: alarm reports ("01") and
// parameter lists ("05") arrive without their receiver's equipment name and
// closing "*", so those are added; every other message goes out unchanged.
QString BroadcastTextFor(const QString &message, const QString &EquipmentName);

// One receiver in a broadcast description.
QString BroadcastReceiverText(const QString &EquipmentName, const QString &UserName,
                              const QString &ClientIp, int ClientPort);
// The finished description: trimmed, and without its brackets when exactly
// one receiver is described.
QString FinishReceiverText(const QString &joined, int count);
