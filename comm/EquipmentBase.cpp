#include "EquipmentBase.h"
#include "ThreadCheck.h"

#include "FrameCodec.h"
#include "HexText.h"
#include "LogCategories.h"
#include "NetD.h"
#include "NormalParamTable.h"
#include "PackRecord.h"
#include "ParamDictionary.h"
#include "ParamListTable.h"
#include "ServerMetrics.h"
#include "TempHistory.h"

#include <QThread>

#include <limits>

namespace {

constexpr int HandSerialLast = 0x5FFF;    // ordinary requests: 0x0001 .. 0x5FFF
constexpr int CircleSerialFirst = 0x6000; // polling requests: 0x6001 .. 0x7FFF
constexpr int CircleSerialLast = 0x7FFF;
constexpr int ReportSerialFirst = 0x8000; // packets the units start themselves
constexpr int ReportSerialLast = 0x8FFF;
constexpr qsizetype Rest = std::numeric_limits<int>::max(); // "to the end" for CopyText

// A lstTempHistory entry for what a unit sent of its own accord: who sent it
// and the frame's serial and station numbers.
std::unique_ptr<TTempHistoryInfo> NewTempHistoryEntry(const TRecPackage &entry,
                                                      const TOnePackRecord &rec,
                                                      const QString &OperateFlag) {
    auto info = std::make_unique<TTempHistoryInfo>();
    info->EquipmentCode = entry.Identity.EquipmentCode;
    info->OperateFlag = OperateFlag;
    info->SerialId = rec.SerialId;
    info->SiteNum = rec.SiteNum;
    info->EquipmentNum = rec.EquipmentNum;
    info->EquipmentIp = entry.EquipmentIp;
    info->EquipmentPort = entry.EquipmentPort;
    return info;
}

} // namespace

TEquipmentBase::TEquipmentBase(TCommInfoHint CommInfoHint,
                               TBoosterConnectNumber BoosterConnectNumber, const TLinkPaces &paces,
                               QObject *parent)
    : QObject(parent), FCommInfoHint(std::move(CommInfoHint)),
      FBoosterConnectNumber(std::move(BoosterConnectNumber)),
      paces_(paces), handSerials_{HandPackFlagNumber, "HandPackFlagNumber", 0, HandSerialLast},
      circleSerials_{CirclePackFlagNumber, "CirclePackFlagNumber", CircleSerialFirst,
                     CircleSerialLast},
      reserveSerials_([](const QString &key, int last) {
          if (dmNet)
              TNormalParamTable(*dmNet).Update({{key, QString::number(last)}});
      }) {
    // An alarm report is acknowledged with its own serial number once its
    // row is stored.
    alarms_ = std::make_unique<TAlarmCommitter>(
        [this](const TAlarmReport &r) {
            AddDataPackage({}, {}, r.EquipmentCode, QStringLiteral("01"), 0, {}, 0, r.AckDictate);
        },
        FCommInfoHint);
    // Precise: a coarse timer may fire 5 % of its interval early or late and
    // snaps to round wall-clock fractions, which moves the ticks against each
    // other and adds to every wait.
    timSendDataPack.setTimerType(Qt::PreciseTimer);
    timRecDataPack.setTimerType(Qt::PreciseTimer);
    timSendDataPack.setInterval(paces_.sendTick);
    timRecDataPack.setInterval(paces_.receiveTick);
    connect(&timSendDataPack, &QTimer::timeout, this, &TEquipmentBase::timSendDataPackTimer);
    connect(&timRecDataPack, &QTimer::timeout, this, &TEquipmentBase::timRecDataPackTimer);
}

TEquipmentBase::~TEquipmentBase() {
    alarms_->Stop();
    timSendDataPack.stop();
    timRecDataPack.stop();
    std::lock_guard guard(sendLock_);
    lstSendPackage.clear();
}

void TEquipmentBase::SetSerialReserver(TReserveSerials reserve) {
    std::lock_guard guard(serialLock_);
    reserveSerials_ = std::move(reserve);
}

void TEquipmentBase::SetSerialBlockSource(TSerialBlocks blocks) {
    std::lock_guard guard(serialLock_);
    serialBlocks_ = std::move(blocks);
}

int TEquipmentBase::TakeBlock(TSerialSpace &space) {
    const int index = serialBlocks_(QString::fromLatin1(space.key));
    const int blocks = (space.last - space.first - 1) / SerialBlock + 1;
    if (index < 0 || index >= blocks)
        throw DbError("serial block outside the counter's range");
    return space.first + 1 + index * SerialBlock;
}

int TEquipmentBase::NextBlockSerial(TSerialSpace &space) {
    int n = space.counter.load() + 1;
    if (space.blockFirst < 0 || n < space.blockFirst || n > space.blockLast) {
        // The block in use is done (or there is none yet): the one taken
        // ahead, else a new one now.
        const int first = space.aheadFirst >= 0 ? space.aheadFirst : TakeBlock(space);
        space.aheadFirst = -1;
        space.blockFirst = first;
        space.blockLast = std::min(first + SerialBlock - 1, space.last);
        n = first;
    } else if (space.aheadFirst < 0 && space.blockLast - n < SerialBlock / 2) {
        // Half the block is used: the next one is taken ahead, so a short
        // database outage does not hold requests up.
        try {
            space.aheadFirst = TakeBlock(space);
        } catch (const DbError &e) {
            qCDebug(lcEquipment) << "serial block not taken ahead:" << e.what();
        }
    }
    space.counter.store(n);
    return n;
}

int TEquipmentBase::NextSerial(TSerialSpace &space) {
    if (serialBlocks_)
        return NextBlockSerial(space);
    // A counter outside its range (a damaged stored value) restarts the
    // range instead of producing a serial number of the wrong space.
    int n = space.counter.load();
    if (n >= space.last || n < space.first)
        n = space.first;
    ++n;
    if (n < space.blockFirst || n > space.blockLast) {
        Reserve(space, n);
    } else if (space.blockLast - n < SerialBlock / 2 && space.blockLast < space.last) {
        // Half the block is used: the next numbers are reserved ahead, so a
        // short database outage does not hold requests up. While it lasts
        // the rest of the block is used.
        try {
            Reserve(space, n);
        } catch (const DbError &e) {
            qCDebug(lcEquipment) << "serial numbers not reserved ahead:" << e.what();
        }
    }
    space.counter.store(n);
    return n;
}

void TEquipmentBase::Reserve(TSerialSpace &space, int from) {
    // At most one block past the number in use, so a crash skips at most
    // one block.
    const int last = std::min(from + SerialBlock - 1, space.last);
    if (reserveSerials_)
        reserveSerials_(QString::fromLatin1(space.key), last);
    if (from < space.blockFirst || from > space.blockLast)
        space.blockFirst = from;
    space.blockLast = last;
}

void TEquipmentBase::SaveExactSerials(const std::function<void()> &save) {
    std::lock_guard serials(serialLock_);
    save();
    if (serialBlocks_)
        return; // the blocks come from the database, not from the counters
    for (TSerialSpace *space : {&handSerials_, &circleSerials_})
        space->blockLast = space->counter.load();
}

void TEquipmentBase::ReserveFirstSerials() {
    std::lock_guard serials(serialLock_);
    if (serialBlocks_)
        return; // a block is taken when the first number is drawn
    for (TSerialSpace *space : {&handSerials_, &circleSerials_}) {
        if (space->blockFirst >= 0)
            continue;
        int n = space->counter.load();
        if (n >= space->last || n < space->first)
            n = space->first;
        try {
            Reserve(*space, n + 1);
        } catch (const DbError &e) {
            qCDebug(lcEquipment) << "serial numbers not reserved at start:" << e.what();
        }
    }
}

void TEquipmentBase::StartQueueTimers() {
    // The first block is reserved while the database is known to be up.
    ReserveFirstSerials();
    alarms_->Start();
    timSendDataPack.start();
    // The receive tick runs half its period after the send tick. Started
    // together, every second receive tick would fire with the send tick, just
    // before the answers to the requests it sent can arrive, and a unit that
    // answers at once would wait a whole receive period; offset, an answer
    // that comes within half a period is processed on the next receive tick.
    QTimer::singleShot(paces_.receiveTick / 2, Qt::PreciseTimer, this,
                       [this] { timRecDataPack.start(); });
}

bool TEquipmentBase::LogOn() const {
    return FCommInfoHint && ShowInfoHint;
}

void TEquipmentBase::Hint(const TLogEvent &event) const {
    if (LogOn())
        FCommInfoHint(event);
}

void TEquipmentBase::AddDataPackage(const QString &UserName, const QString &EquipmentName,
                                    const QString &EquipmentCode, const QString &OperateFlag,
                                    int SendMode, const QString &ClientIp, int ClientPort,
                                    const QString &Dictate) {
    // The parameter list is read with a query.
    const QString OrderFlag = OperateFlag == u"05" ? QStringLiteral("02") : OperateFlag;
    const QString QueryMode = SendMode == 1 ? QStringLiteral("Poll") : QStringLiteral("General");

    TSendBodyInfo info;
    TSendBodyRecord &body = info.Body;
    body.UserName = UserName;
    body.ClientIp = ClientIp;
    body.ClientPort = ClientPort;
    body.EquipmentName = EquipmentName;
    body.EquipmentCode = EquipmentCode;
    body.OperateFlag = OperateFlag;
    body.PackAllCount = 1;
    body.PackNum = 1;
    body.QueryMode = QueryMode;

    if (OrderFlag == u"01") {
        // Acknowledgement of a report: the report's own serial number,
        // little-endian in the first two bytes of Dictate.
        body.SerialId = HexToInt(Concat({CopyText(Dictate, 3, 2), CopyText(Dictate, 1, 2)}));
        body.SendPack = Dictate + QLatin1String("00010100");
    }

    if (OrderFlag != u"01") {
        {
            // Test, wrap and increment as one step.
            std::lock_guard serials(serialLock_);
            body.SerialId = NextSerial(SendMode == 1 ? circleSerials_ : handSerials_);
        }
        const QString serialHex = IntToHexText(body.SerialId, 4);
        body.SendPack =
            Concat({QStringView(serialHex).sliced(2, 2), QStringView(serialHex).sliced(0, 2),
                    u"8001", OrderFlag, u"FF", Dictate});
    }

    std::lock_guard guard(sendLock_);
    for (const auto &package : lstSendPackage) {
        if (package->ClientIp == ClientIp && package->ClientPort == ClientPort) {
            package->lstBody.push_back(std::move(info));
            return;
        }
    }
    auto package = std::make_unique<TSendPackageInfo>();
    package->ClientIp = ClientIp;
    package->ClientPort = ClientPort;
    package->lstBody.push_back(std::move(info));
    lstSendPackage.push_back(std::move(package));
}

std::size_t TEquipmentBase::SendPackageCount() {
    std::lock_guard guard(sendLock_);
    return lstSendPackage.size();
}

void TEquipmentBase::timSendDataPackTimer() {
    MMS_ASSERT_THREAD(thread());
    // Take the bodies of this tick under the lock, then send outside it, so
    // that the channel worker is never held up by a send. Each sub-queue
    // gives sendFramesPerTick bodies (one by default; 0: all it holds).
    const int perQueue = paces_.sendFramesPerTick;
    std::vector<TSendBodyRecord> leaving;
    {
        std::lock_guard guard(sendLock_);
        for (std::size_t k = 0; k < lstSendPackage.size();) {
            TSendPackageInfo &package = *lstSendPackage[k];
            if (package.lstBody.empty()) {
                lstSendPackage.erase(lstSendPackage.begin() + static_cast<std::ptrdiff_t>(k));
                continue;
            }
            for (int n = 0; !package.lstBody.empty() && (perQueue <= 0 || n < perQueue); ++n) {
                leaving.push_back(std::move(package.lstBody.front().Body));
                package.lstBody.pop_front();
            }
            ++k;
        }
    }
    for (const TSendBodyRecord &body : leaving) {
        try {
            SendToNet(body);
        } catch (const std::exception &e) {
            // The request is lost; it is never sent twice.
            qCDebug(lcEquipment) << "request" << body.SerialId << "for" << body.EquipmentCode
                                 << "lost:" << e.what();
        }
    }
}

void TEquipmentBase::timRecDataPackTimer() {
    // receiveFramesPerTick frames for the whole server (one by default; 0:
    // every frame waiting when the tick comes).
    const int perTick = paces_.receiveFramesPerTick;
    std::size_t take = perTick > 0 ? std::size_t(perTick) : lstRecPackage.Size();
    for (; take > 0 && lstRecPackage.Size() > 0; --take)
        TakeRecPackage();
}

void TEquipmentBase::TakeRecPackage() {
    MMS_ASSERT_THREAD(thread());
    std::optional<TRecPackage> entry = lstRecPackage.Take();
    if (!entry)
        return;
    recPackageChars_ -= entry->Chars();
    if (recPackageFull_ && lstRecPackage.Size() <= MaxRecPackageEntries / 2 &&
        recPackageChars_ <= MaxRecPackageChars / 2)
        recPackageFull_ = false;
    if (recPackageFloods_.contains(entry->ConnectionKey) &&
        lstRecPackage.SizeOf(entry->ConnectionKey) <= MaxRecPackagePerConnection / 2)
        recPackageFloods_.remove(entry->ConnectionKey);
    ComPackShow(*entry);
}

void TEquipmentBase::AppendRecPackage(TRecPackage entry) {
    const qsizetype chars = entry.Chars();
    if (!recPackageFull_ && (lstRecPackage.Size() >= MaxRecPackageEntries ||
                             recPackageChars_ + chars > MaxRecPackageChars)) {
        recPackageFull_ = true;
        Hint(LogEvent(
            TLogKind::Error, TLogPane::Events,
            QStringLiteral("Receive queue full (%1 frames waiting): frames from the equipment "
                           "are dropped until it has drained")
                .arg(lstRecPackage.Size()),
            clRed));
    }
    if (recPackageFull_) {
        qCDebug(lcEquipment) << "receive queue full: dropped a frame from" << entry.ConnectionKey;
        CountMetric(&TServerMetrics::framesQueueFull);
        return;
    }
    const QString key = entry.ConnectionKey;
    const QString code = entry.Identity.EquipmentCode;
    const QString address = entry.EquipmentIp;
    const int port = entry.EquipmentPort;
    if (lstRecPackage.Append(key, std::move(entry)) == TFairQueue<TRecPackage>::Push::Queued) {
        recPackageChars_ += chars;
        return;
    }
    qCDebug(lcEquipment) << "dropped a frame of" << key << ": its share of the queue is full";
    if (!recPackageFloods_.contains(key)) {
        recPackageFloods_.insert(key);
        Hint(LogEvent(TLogKind::Error, TLogPane::Events,
                      QStringLiteral(
                          "Equipment (%1) sends faster than its frames are handled: %2 frames "
                          "waiting, its new frames are dropped until half have been handled")
                          .arg(key)
                          .arg(MaxRecPackagePerConnection),
                      clRed)
                 .WithUnit(code)
                 .WithPeer(address, port));
    }
}

void TEquipmentBase::SendToNet(const TSendBodyRecord &SendBody) {
    MMS_ASSERT_THREAD(thread());
    if (SendBody.OperateFlag == u"01" || SendBody.OperateFlag == u"05")
        return;
    auto info = std::make_unique<TTempHistoryInfo>();
    info->UserName = SendBody.UserName;
    info->ClientIp = SendBody.ClientIp;
    info->ClientPort = SendBody.ClientPort;
    info->EquipmentCode = SendBody.EquipmentCode;
    info->EquipmentName = SendBody.EquipmentName;
    info->SerialId = SendBody.SerialId;
    info->OperateFlag = SendBody.OperateFlag;
    info->QueryMode = SendBody.QueryMode;
    info->QueryTime = NowToSecond();
    std::lock_guard guard(lstTempHistoryLock);
    lstTempHistory.push_back(std::move(info));
}

namespace {

// The "*12" notice of one unit going on or off line.
QString LineStateMessage(const QString &EquipmentCode, const QString &EquipmentType, bool OnLine) {
    return QLatin1String("*12") + EquipmentCode + QLatin1Char('@') + EquipmentType +
           QLatin1Char('&') + (OnLine ? QLatin1String("01") : QLatin1String("00")) +
           QLatin1String(",#") + QString::number(MaxPackageLen) + QLatin1Char('*');
}

} // namespace

void TEquipmentBase::EquipmentLineState(const QString &EquipmentCode, const QString &EquipmentType,
                                        const QString &SiteNum, quint8 EquipmentNum, bool OnLine) {
    const QString message = LineStateMessage(EquipmentCode, EquipmentType, OnLine);
    const QString receivers =
        clientLink_ ? clientLink_->EquipmentBroadcast(EquipmentCode, message) : QString();
    LineStateSent(receivers, EquipmentCode, SiteNum, EquipmentNum, OnLine);
}

void TEquipmentBase::OwnerLineState(const QString &UserName, const QString &EquipmentName,
                                    const QString &EquipmentCode, const QString &EquipmentType,
                                    const QString &SiteNum, quint8 EquipmentNum, bool OnLine) {
    const QString message = LineStateMessage(EquipmentCode, EquipmentType, OnLine);
    const QString receivers =
        clientLink_ ? clientLink_->UserBroadcast(UserName, EquipmentName, message) : QString();
    LineStateSent(receivers, EquipmentCode, SiteNum, EquipmentNum, OnLine);
}

void TEquipmentBase::LineStateSent(const QString &receivers, const QString &EquipmentCode,
                                   const QString &SiteNum, quint8 EquipmentNum, bool OnLine) {
    if (!receivers.isEmpty())
        Hint(LogEvent(TLogKind::Report, TLogPane::Traffic,
                      QLatin1String("Server->Client (") + receivers + QLatin1String("  SiteNo.:") +
                          SiteNum + QLatin1String("  EquipmentNo.:") +
                          QString::number(EquipmentNum) + QLatin1String(") ") +
                          (OnLine ? QLatin1String("OnLine") : QLatin1String("OffLine")),
                      clYellow)
                 .WithUnit(EquipmentCode));
}

void TEquipmentBase::StoreParamListPage(const QString &EquipmentCode, int QueryNum,
                                        QString &ListContentStr) const {
    if (!dmNet)
        throw DbError("the data module is not open");
    TParamListTable(*dmNet).StorePage(EquipmentCode, QueryNum, ListContentStr);
}

qsizetype TRecPackage::Chars() const {
    return EquipmentIp.size() + ConnectionKey.size() + Identity.EquipmentCode.size() +
           Identity.EquipmentType.size() + Identity.SiteId.size() + Frame.Chars();
}

QString TEquipmentBase::FrameErrorValue(const TOnePackRecord &rec, bool checkOk) {
    const bool report = rec.OperateFlag == u"01";
    // The last failing check is the one reported; none stops the processing.
    QString ErrorValue;
    if (report && (rec.SerialId < ReportSerialFirst || rec.SerialId > ReportSerialLast))
        ErrorValue = QStringLiteral(" Error SerialNumber");
    if (rec.NPEachFlag != u"00" && !(report && rec.NPEachFlag == u"80"))
        ErrorValue = QLatin1String(" NP interact flag error(error code:0x") + rec.NPEachFlag +
                     QLatin1Char(')');
    if (rec.ResponseFlag != u"00" && !(report && rec.ResponseFlag == u"FF"))
        ErrorValue = QLatin1String(" Answer symbol error:") + GetResponseFlag(rec.ResponseFlag);
    if (!checkOk)
        ErrorValue = QStringLiteral(" Check code error");
    return ErrorValue;
}

void TEquipmentBase::ComPackShow(const TRecPackage &entry) {
    MMS_ASSERT_THREAD(thread());
    const TReceivedFrame &frame = entry.Frame;
    if (!frame.Record) {
        qCDebug(lcEquipment) << "dropped a frame that cannot be parsed from" << entry.ConnectionKey
                             << frame.SourcePackage;
        CountMetric(&TServerMetrics::framesUnparsed);
        return;
    }
    const TOnePackRecord &rec = *frame.Record;
    try {
        const QString ErrorValue = FrameErrorValue(rec, frame.CheckOk);
        QString subject;
        if (rec.OperateFlag == u"01") {
            HandleReport(entry, rec, ErrorValue);
            return; // reports are not logged here
        } else if (rec.OperateFlag == u"02" || rec.OperateFlag == u"03") {
            subject = CopyText(rec.ObjStr, 3, 4) == u"0900" ? HandleParamListPage(entry, rec)
                                                            : HandleAnswer(entry, rec, ErrorValue);
        } else {
            qCDebug(lcEquipment) << "dropped a frame with command flag" << rec.OperateFlag << "from"
                                 << entry.ConnectionKey;
            CountMetric(&TServerMetrics::framesUnknownFlag);
            return;
        }
        const QString sSendStr = frame.TrulyPackage == frame.SourcePackage
                                     ? frame.SourcePackage
                                     : frame.SourcePackage + QLatin1String("(Truly ") +
                                           frame.TrulyPackage + QLatin1Char(')');
        Hint(LogEvent(TLogKind::Reply, TLogPane::Traffic,
                      QLatin1String("Equipment->Server (") + subject +
                          QLatin1String("  EquipmentIP:") + entry.EquipmentIp +
                          QLatin1String("  EquipmentPort:") + QString::number(entry.EquipmentPort) +
                          QLatin1String("  StationNo.:0x") + rec.SiteNum +
                          QLatin1String("  EquipmentNo.:") + QString::number(rec.EquipmentNum) +
                          QLatin1String("  SerialId:") + QString::number(rec.SerialId) +
                          QLatin1Char(')') + QChar(13) + sSendStr + QLatin1Char(' ') + ErrorValue,
                      clYellow)
                 .WithUnit(entry.Identity.EquipmentCode)
                 .WithPeer(entry.EquipmentIp, entry.EquipmentPort)
                 .WithFrame(QByteArray::fromHex(frame.SourcePackage.toLatin1())));
    } catch (const std::exception &e) {
        // A number that does not convert or a database failure ends this
        // entry; what was done before stays done.
        qCDebug(lcEquipment) << "dropped the rest of a frame from" << entry.ConnectionKey << ":"
                             << e.what();
    }
}

void TEquipmentBase::HandleReport(const TRecPackage &entry, const TOnePackRecord &rec,
                                  const QString &ErrorValue) {
    // A report the unit sends of its own accord; the first four bytes of the
    // data are the report-type item.
    const QString &EquipmentCode = entry.Identity.EquipmentCode;
    const QString DataBody = TrimBlanks(CopyText(rec.ObjStr, 9, Rest)).toString();
    const QDateTime now = NowToSecond();
    const bool alarm = CopyText(rec.ObjStr, 7, 2) == u"01";
    {
        auto info = NewTempHistoryEntry(entry, rec, QStringLiteral("01"));
        info->BodyValue = entry.Frame.SourcePackage;
        info->DataBody = DataBody;
        info->ReturnTime = now;
        info->ErrorValue = ErrorValue;
        info->StoredElsewhere = alarm;
        std::lock_guard guard(lstTempHistoryLock);
        lstTempHistory.push_back(std::move(info));
    }
    // Every report is queued for the alarm analysis; alarm reports (type 01)
    // are stored and acknowledged with their own serial number (bytes 8 and
    // 9 of the frame, as they came) once their row is committed.
    alarms_->Submit({EquipmentCode, rec.SerialId, DataBody, now,
                     alarm && ErrorValue.isEmpty() && !DataBody.isEmpty(), alarm,
                     CopyText(entry.Frame.TrulyPackage, 17, 4).toString()});
}

QString TEquipmentBase::HandleParamListPage(const TRecPackage &entry, const TOnePackRecord &rec) {
    // One page of the unit's parameter list: item 0x0009 with the page count,
    // the page number and the page's part of the list.
    const QString &EquipmentCode = entry.Identity.EquipmentCode;
    const QString &data = rec.ObjStr;
    const int QueryCount = HexToInt(CopyText(data, 7, 2));
    const int QueryNum = HexToInt(CopyText(data, 9, 2));
    QString ListContentStr = TrimBlanks(CopyText(data, 11, Rest)).toString();
    if (QueryCount >= QueryNum) {
        try {
            StoreParamListPage(EquipmentCode, QueryNum, ListContentStr);
        } catch (const std::exception &e) {
            qCDebug(lcEquipment) << "parameter list page" << QueryNum << "of" << EquipmentCode
                                 << "not stored:" << e.what();
            throw;
        }
    }
    if (QueryNum < QueryCount) {
        AddDataPackage({}, {}, EquipmentCode, QStringLiteral("05"), 0, {}, 0,
                       QLatin1String("050900") + IntToHexText(QueryCount, 2) +
                           IntToHexText(QueryNum + 1, 2));
    } else {
        auto info = NewTempHistoryEntry(entry, rec, QStringLiteral("05"));
        info->BodyValue = ListContentStr;
        {
            std::lock_guard guard(lstTempHistoryLock);
            lstTempHistory.push_back(std::move(info));
        }
        Hint(LogEvent(TLogKind::Reply, TLogPane::Events,
                      QLatin1String("Query Parameter List Finish (EquipmentCode:") + EquipmentCode +
                          QLatin1String("  EquipmentIP:") + entry.EquipmentIp +
                          QLatin1String("  EquipmentPort:") + QString::number(entry.EquipmentPort) +
                          QLatin1String("  StationNo.:0x") + rec.SiteNum +
                          QLatin1String("  EquipmentNo.:") + QString::number(rec.EquipmentNum) +
                          QLatin1Char(')'),
                      clWhite)
                 .WithUnit(entry.Identity.EquipmentCode)
                 .WithPeer(entry.EquipmentIp, entry.EquipmentPort));
    }
    return QLatin1String("EquipmentCode:") + EquipmentCode;
}

QString TEquipmentBase::HandleAnswer(const TRecPackage &entry, const TOnePackRecord &rec,
                                     const QString &ErrorValue) {
    // The answer to a pending request, matched by unit and serial number.
    const QDateTime now = NowToSecond();
    std::lock_guard guard(lstTempHistoryLock);
    for (const auto &e : lstTempHistory) {
        if (e->EquipmentCode != entry.Identity.EquipmentCode || e->SerialId != rec.SerialId)
            continue;
        e->BodyValue = entry.Frame.SourcePackage;
        e->DataBody = rec.ObjStr;
        e->ReturnTime = now;
        e->ErrorValue = ErrorValue;
        e->SiteNum = rec.SiteNum;
        e->EquipmentNum = rec.EquipmentNum;
        e->EquipmentIp = entry.EquipmentIp;
        e->EquipmentPort = entry.EquipmentPort;
        return QLatin1String("Equipment:") + e->EquipmentName;
    }
    qCDebug(lcEquipment) << "answer of" << entry.Identity.EquipmentCode << "serial" << rec.SerialId
                         << "matches no pending request";
    return {};
}
