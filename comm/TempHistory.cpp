#include "TempHistory.h"

std::vector<std::unique_ptr<TTempHistoryInfo>> lstTempHistory;
std::mutex lstTempHistoryLock;
