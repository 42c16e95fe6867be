// A socket write that never lets a peer's unread data grow without end.
#pragma once

#include <QByteArray>
#include <QTcpSocket>

// What a connection's refused writes come to: every refused write is
// counted, and an episode (refusals with no successful write between them)
// is reported once.
struct TWriteDrops {
    quint64 Count = 0;
    bool InEpisode = false;

    // Counts one refused write; true when it starts an episode.
    bool Dropped() {
        ++Count;
        const bool starts = !InEpisode;
        InEpisode = true;
        return starts;
    }
    // A write went through: the next refusal starts a new episode.
    void Written() { InEpisode = false; }
};

// Queues the bytes unless that would leave more than maxPending bytes waiting
// to go out. What the kernel takes at once is handed over first (flush never
// blocks), so a burst to a reading peer always fits; a peer that has stopped
// reading hits the bound. Returns the bytes queued, or -1 when refused.
// The bytes are handed to the kernel at once as far as it takes them: a
// reply leaves in this loop turn, without a write notification switched on
// and off and a loop turn of its own for it.
inline qint64 WriteBounded(QTcpSocket &socket, const QByteArray &bytes, qint64 maxPending) {
    if (socket.bytesToWrite() + bytes.size() > maxPending)
        socket.flush();
    if (socket.bytesToWrite() + bytes.size() > maxPending)
        return -1;
    const qint64 queued = socket.write(bytes);
    socket.flush();
    return queued;
}
