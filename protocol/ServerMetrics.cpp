#include "ServerMetrics.h"

std::atomic<TServerMetrics *> ServerMetrics{nullptr};
