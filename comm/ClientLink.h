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

    // Sends the message to every connection logged in under the name, and
    // returns the description of the receivers as EquipmentBroadcast does
    // (EquipmentName is the user's name for the unit). Callable from the
    // event thread and the workers. A link without accounts sends nothing.
    virtual QString UserBroadcast(const QString &UserName, const QString &EquipmentName,
                                  const QString &message) {
        (void)UserName;
        (void)EquipmentName;
        (void)message;
        return {};
    }
};
