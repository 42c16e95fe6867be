// The web console's fleet from the console's fleet model: every unit known
// to the server (assigned or connected) with its owners, connection,
// heartbeat and alarms. The model follows the links itself; Observe has
// nothing to do.
#pragma once

#include "FleetModel.h"
#include "WebFleet.h"

#include <QJsonObject>

// One fleet row as the API gives it (the fields of TModelFleet::Rows).
QJsonObject FleetRowJson(const TFleetRow &row);

class TModelFleet : public TWebFleet {
public:
    explicit TModelFleet(const TFleetModel &model) : model_(model) {}
    bool WantsEvents() const override { return false; }
    void Observe(const TLogEvent &) override {}
    // The TWebFleet fields (code, online, address, port, since, lastSeen)
    // and name, type, typeName, station, equipmentNo, owners, registered,
    // lastAlarm {parameter, state, time} and alarmsActive.
    QJsonArray Rows() const override;
    bool HasFeed() const override { return true; }
    std::optional<TWebFleetChanges> Changes(std::uint64_t *cursor, std::size_t most,
                                            bool beats) const override;

private:
    const TFleetModel &model_;
};
