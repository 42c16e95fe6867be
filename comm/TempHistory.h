// Pending and answered equipment requests, unsolicited reports and finished
// parameter lists, from the moment they leave or arrive until the reply
// worker has answered and stored them.
//
// Threading contract: the event thread appends and fills entries; the reply
// worker reads and removes them. Every access to the list and to its entries
// is made holding lstTempHistoryLock.
#pragma once

#include <QDateTime>
#include <QString>

#include <memory>
#include <mutex>
#include <vector>

struct TTempHistoryInfo {
    QString UserName;
    QString EquipmentName;
    QString ClientIp;
    qint64 ClientPort = 0;
    QString EquipmentCode;
    qint64 SerialId = 0;
    QString OperateFlag;
    QString QueryMode;
    QString BodyValue; // empty while the request waits for its answer
    QString DataBody;
    QDateTime QueryTime;
    QDateTime ReturnTime;
    QString ErrorValue;
    QString SiteNum;
    quint8 EquipmentNum = 0;
    QString EquipmentIp;
    qint64 EquipmentPort = 0;
    // An alarm report: its row is written by the alarm committer before it
    // is acknowledged, not by the reply worker.
    bool StoredElsewhere = false;
};

extern std::vector<std::unique_ptr<TTempHistoryInfo>> lstTempHistory;
extern std::mutex lstTempHistoryLock;
