#include "ChannelComm.h"
#include "LogCategories.h"

#include "HexText.h"
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
    bool report = false;
    {
        std::lock_guard guard(lock_);
        if (lstClientPack.size() >= MaxQueued) {
            // Reported once per overflow, not once per dropped request, so a
            // flooding client cannot flood the log as well.
            report = !overflowReported_;
            overflowReported_ = true;
        } else {
            lstClientPack.push_back(entry);
            overflowReported_ = false;
        }
    }
    if (report && FCommInfoHint)
        FCommInfoHint(QStringLiteral("Client request queue full (%1 requests): new requests are "
                                     "dropped")
                          .arg(MaxQueued),
                      clRed);
}

std::size_t TChannelComm::Count() const {
    std::lock_guard guard(lock_);
    return lstClientPack.size();
}

bool TChannelComm::Step() {
    QString entry;
    {
        std::lock_guard guard(lock_);
        if (lstClientPack.empty())
            return false;
        entry = std::move(lstClientPack.front());
        lstClientPack.pop_front();
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
