#include "ChannelComm.h"

#include "HexText.h"
#include "LogCategories.h"
#include "NetD.h"

std::optional<TChannelRequest> SplitChannelEntry(const QString &entry) {
    const QStringView s(entry);
    const qsizetype pPercent = s.indexOf(u'%');
    const qsizetype pCaret = s.indexOf(u'^');
    const qsizetype pAmp = s.indexOf(u'&');
    const qsizetype pAt = s.indexOf(u'@');
    const qsizetype pHash = s.indexOf(u'#');
    if (pPercent < 0 || pCaret < pPercent || pAmp < pCaret || pAt < pAmp || pHash < pAt)
        return std::nullopt;

    bool ok = false;
    const int port = s.sliced(pCaret + 1, pAmp - pCaret - 1).toInt(&ok);
    if (!ok)
        return std::nullopt;

    TChannelRequest r;
    r.UserName = s.first(pPercent).toString();
    r.ClientIp = s.sliced(pPercent + 1, pCaret - pPercent - 1).toString();
    r.ClientPort = port;
    r.EquipmentCode = s.sliced(pAmp + 1, pAt - pAmp - 1).toString();
    const QStringView body = s.sliced(pAt + 1, pHash - pAt - 1);
    r.OperateFlag = body.first(std::min<qsizetype>(2, body.size())).toString();
    r.Dictate = TrimBlanks(body.size() > 2 ? body.sliced(2) : QStringView()).toString();
    r.EquipmentName = TrimBlanks(s.sliced(pHash + 1)).toString();
    if (r.OperateFlag == u"05")
        r.EquipmentName.clear();
    r.SendMode = 0;
    return r;
}

TChannelComm::TChannelComm(TCommInfoHint CommInfoHint, TAddDataPackage addDataPackage,
                           std::chrono::milliseconds pace)
    : FCommInfoHint(std::move(CommInfoHint)), addDataPackage_(std::move(addDataPackage)),
      pace_(pace) {}

TChannelComm::~TChannelComm() {
    Stop();
}

void TChannelComm::Start() {
    worker_.Start([this] { Run(); });
}

void TChannelComm::Stop() {
    worker_.Stop();
}

void TChannelComm::AddClientPack(const QString &entry) {
    const auto request = SplitChannelEntry(entry);
    AddClientPack(request ? request->ClientIp + u':' + QString::number(request->ClientPort)
                          : QString(),
                  entry);
}

void TChannelComm::AddClientPack(const QString &connection, const QString &entry) {
    QString report;
    bool dropped = true;
    {
        std::lock_guard guard(lock_);
        if (lstClientPack.Size() >= MaxQueued) {
            // Reported once per overflow, not once per dropped request, so a
            // flooding client cannot flood the log as well.
            if (!overflowReported_)
                report = QStringLiteral("Client request queue full (%1 requests): new requests "
                                        "are dropped")
                             .arg(MaxQueued);
            overflowReported_ = true;
        } else if (lstClientPack.Append(connection, entry) ==
                   TFairQueue<QString>::Push::ConnectionFull) {
            if (!floods_.contains(connection)) {
                floods_.insert(connection);
                report = QStringLiteral("Client (%1) sends faster than its requests are handled: "
                                        "%2 requests waiting, its new requests are dropped until "
                                        "half have been handled")
                             .arg(connection)
                             .arg(MaxQueuedPerConnection);
            }
        } else {
            overflowReported_ = false;
            dropped = false;
        }
    }
    if (dropped)
        qCDebug(lcClient) << "dropped a request of" << connection;
    if (!report.isEmpty() && FCommInfoHint)
        FCommInfoHint(LogEvent(TLogKind::Error, TLogPane::Events, report, clRed));
}

std::size_t TChannelComm::Count() const {
    std::lock_guard guard(lock_);
    return lstClientPack.Size();
}

bool TChannelComm::Step() {
    QString entry;
    {
        std::lock_guard guard(lock_);
        std::optional<QString> next = lstClientPack.Take();
        if (!next)
            return false;
        entry = std::move(*next);
        // The connection's key is not kept with the entry: an episode ends
        // when no connection's share is half full any more.
        if (!floods_.isEmpty()) {
            for (auto it = floods_.begin(); it != floods_.end();)
                it = lstClientPack.SizeOf(*it) <= MaxQueuedPerConnection / 2 ? floods_.erase(it)
                                                                             : std::next(it);
        }
    }
    try {
        const auto request = SplitChannelEntry(entry);
        if (!request)
            qCDebug(lcClient) << "dropped a malformed channel entry";
        else if (addDataPackage_)
            addDataPackage_(*request);
    } catch (const std::exception &e) {
        // A failure inside the equipment link drops this one request.
        qCDebug(lcClient) << "dropped a channel request:" << e.what();
    }
    return true;
}

bool TChannelComm::Pause() {
    return worker_.Pause(pace_);
}

void TChannelComm::Run() {
    do {
        Step();
    } while (Pause());
    // The equipment link may have used the database on this thread.
    if (dmNet)
        dmNet->ReleaseThreadConnection();
}
