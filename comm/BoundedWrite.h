// A socket write that never lets a peer's unread data grow without end.
#pragma once

#include <QByteArray>
#include <QTcpSocket>

// Queues the bytes unless that would leave more than maxPending bytes waiting
// to go out. What the kernel takes at once is handed over first (flush never
// blocks), so a burst to a reading peer always fits; a peer that has stopped
// reading hits the bound. Returns the bytes queued, or -1 when refused.
inline qint64 WriteBounded(QTcpSocket &socket, const QByteArray &bytes, qint64 maxPending) {
    if (socket.bytesToWrite() + bytes.size() > maxPending)
        socket.flush();
    if (socket.bytesToWrite() + bytes.size() > maxPending)
        return -1;
    return socket.write(bytes);
}
