// What the equipment server tells an observer of the fleet (the operator's
// fleet view) about units coming and going. Unlike the log events, these
// calls are made whatever the log switch says, and they cost the links no
// more than a call: the observer only records what it is told.
//
// Threading: called on the link thread. An implementation returns at once
// (no database, no waiting on another thread's work).
#pragma once

#include <QString>

struct TEquipmentIdentity;

class TUnitPresence {
public:
    virtual ~TUnitPresence() = default;
    // A valid heartbeat of the unit on the connection at address:port.
    // `registered`: the unit has an owner, so its frames are taken and its
    // owners were told it is on line.
    virtual void UnitHeartbeat(const TEquipmentIdentity &id, const QString &address, int port,
                               bool registered) = 0;
    // The connection on which the unit last heartbeat has closed.
    virtual void UnitGone(const QString &EquipmentCode, const QString &address, int port) = 0;
};
