#include "LinkPaces.h"

#include <QtGlobal>

namespace {
void Override(std::chrono::milliseconds &pace, const char *name) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    if (ok && v > 0)
        pace = std::chrono::milliseconds(v);
}
} // namespace

TLinkPaces TLinkPaces::FromEnvironment() {
    TLinkPaces p;
    Override(p.sendTick, "MMS_PACE_SEND_MS");
    Override(p.receiveTick, "MMS_PACE_RECEIVE_MS");
    Override(p.livenessTick, "MMS_PACE_LIVENESS_MS");
    Override(p.channelPace, "MMS_PACE_CHANNEL_MS");
    Override(p.replyPass, "MMS_PACE_REPLY_MS");
    Override(p.replyPerEntry, "MMS_PACE_REPLY_ENTRY_MS");
    Override(p.requestExpiry, "MMS_PACE_EXPIRY_MS");
    Override(p.alarmStep, "MMS_PACE_ALARM_STEP_MS");
    return p;
}
