// What the equipment link needs from the client server: the broadcast to the
// clients entitled to a unit, and a send to one client connection.
#pragma once

#include <QString>

class TClientLink {
public:
    virtual ~TClientLink() = default;

    // Sends the message to every connection whose user owns the unit or is a
    // super user, and returns the description of the receivers (empty when
    // nobody received it). Callable from the event thread and the workers.
    virtual QString EquipmentBroadcast(const QString &EquipmentCode, const QString &message) = 0;

    // Sends the text, in the client code page, to the first connection whose
    // remote address and port are these. False when there is none. Callable
    // from the event thread and the workers; the bytes are written on the
    // event thread.
    virtual bool SendToClient(const QString &clientIp, int clientPort, const QString &text) = 0;
};
