// The log callback and the two connection-count callbacks as one sink that
// any thread may call. Each call is stamped with the time it was made and
// handed to the event thread, which emits it in call order.
#pragma once

#include "PublicU.h"

#include <QDateTime>
#include <QObject>

#include <deque>
#include <mutex>

class TCommInfoHintSink : public QObject {
    Q_OBJECT
public:
    explicit TCommInfoHintSink(QObject *parent = nullptr);

    // Callbacks to hand to the servers and workers. They stay valid while the
    // sink lives.
    TCommInfoHint CommInfoHint();
    TUserConnectNumber UserConnectNumber();
    TBoosterConnectNumber BoosterConnectNumber();

    // Thread-safe entry points behind the callbacks.
    void Post(const QString &text, quint32 colour);
    void PostUserCount(int count);
    void PostBoosterCount(int count);

    // Delivers everything queued so far (the event loop does this by itself).
    void Flush();
    // Events waiting to be delivered. Any thread.
    std::size_t Queued();

    // Upper bound of undelivered events; beyond it new log lines are counted
    // and dropped, and the count is reported once the queue drains.
    static constexpr std::size_t MaxQueued = 100000;
    // Events delivered in one turn of the event loop; the rest wait for the
    // next turn, so that other events (the links) come in between.
    static constexpr std::size_t MaxPerTurn = 200;

signals:
    void LineReady(const QDateTime &time, const QString &text, quint32 colour);
    void UserCountChanged(int count);
    void BoosterCountChanged(int count);

private:
    enum class Kind { Line, UserCount, BoosterCount };
    struct Event {
        Kind kind;
        QDateTime time;
        QString text;
        quint32 colour = 0;
        int count = 0;
    };
    void Enqueue(Event e);
    void DeliverSome();
    // Delivers up to `most` events; true when more are waiting.
    bool Deliver(std::size_t most);

    std::mutex lock_;
    std::deque<Event> queue_;
    bool scheduled_ = false;
    std::size_t dropped_ = 0;
};

// Formats a log line the way the operator sees it: time + "->" + text, with
// every carriage return starting a new output line.
QString FormatLogLine(const QDateTime &time, const QString &text);
