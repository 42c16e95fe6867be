// The [Cluster] section of Set.ini: whether this server is one node of
// several on one PostgreSQL, and the paces of its election.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>

struct TClusterSettings {
    QString nodeName;            // empty: a standalone server
    std::int64_t lockKey = 5210; // the advisory lock the nodes compete for
    // The election session's idle limit and the active node's lease.
    std::chrono::milliseconds hangTimeout{5000};
    // How long a standby whose session died waits after it has reconnected
    // before it tries for the lock, so that the old holder takes it back first.
    std::chrono::milliseconds takeoverDelay{10000};
    // How long an active node serves without reaching PostgreSQL.
    std::chrono::milliseconds dbLossGrace{10000};
    // The equipment and client ports read a PROXY protocol header first.
    bool acceptProxy = false;

    bool Enabled() const { return !nodeName.isEmpty(); }
    // How often a standby tries for the lock, and how often the active node's
    // event loop hands a keep-alive to the election: each well inside the
    // hang timeout.
    std::chrono::milliseconds TryPace() const;
    std::chrono::milliseconds TickPace() const;
};
