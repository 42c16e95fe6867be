// The paces of the equipment and client links. The defaults are the server's
// real paces; tests shorten them (in-process, or through MMS_PACE_* variables
// for the server run as a child process) so that minute-long behaviour runs
// in milliseconds.
#pragma once

#include <chrono>

struct TLinkPaces {
    std::chrono::milliseconds sendTick{600};        // send queue drain
    std::chrono::milliseconds receiveTick{300};     // receive queue drain
    std::chrono::milliseconds livenessTick{24000};  // equipment liveness timer
    int livenessTicks = 8;                          // ticks without heartbeat before closing
    std::chrono::milliseconds channelPace{80};      // channel worker
    std::chrono::milliseconds replyPass{100};       // reply worker, per pass
    std::chrono::milliseconds replyPerEntry{250};   // reply worker, per handled entry
    std::chrono::milliseconds requestExpiry{60000}; // unanswered request dropped after
    std::chrono::milliseconds alarmStep{2000};      // alarm e-mail worker step
    int receiveFramesPerTick = 1; // frames taken per receive tick; 0: all waiting at the tick
    int sendFramesPerTick = 1;    // bodies per sub-queue per send tick; 0: all waiting

    // Defaults, overridden by MMS_PACE_SEND_MS, MMS_PACE_RECEIVE_MS,
    // MMS_PACE_LIVENESS_MS, MMS_PACE_CHANNEL_MS, MMS_PACE_REPLY_MS,
    // MMS_PACE_REPLY_ENTRY_MS, MMS_PACE_EXPIRY_MS, MMS_PACE_ALARM_STEP_MS
    // where set to a positive integer.
    static TLinkPaces FromEnvironment();
};
