#include "ClusterSettings.h"

#include <algorithm>

using std::chrono::milliseconds;

milliseconds TClusterSettings::TryPace() const {
    return std::clamp(hangTimeout / 4, milliseconds(50), milliseconds(500));
}

milliseconds TClusterSettings::TickPace() const {
    return std::clamp(hangTimeout / 5, milliseconds(50), milliseconds(1000));
}
