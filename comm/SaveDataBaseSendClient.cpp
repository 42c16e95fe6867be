#include "SaveDataBaseSendClient.h"

#include "HistoryTables.h"
#include "LogCategories.h"
#include "NetD.h"
#include "ServerMetrics.h"

#include <algorithm>

TSaveDataBaseSendClient::TSaveDataBaseSendClient(TClientLink &ClientTcp, TCommInfoHint CommInfoHint,
                                                 TLinkPaces paces, TClock clock)
    : FClientTcp(ClientTcp), FCommInfoHint(std::move(CommInfoHint)), paces_(paces),
      clock_(clock ? std::move(clock) : TClock([] { return QDateTime::currentDateTime(); })) {}

TSaveDataBaseSendClient::~TSaveDataBaseSendClient() {
    Stop();
}

void TSaveDataBaseSendClient::Start() {
    worker_.Start([this] { Run(); });
}

void TSaveDataBaseSendClient::Stop() {
    worker_.Stop();
}

bool TSaveDataBaseSendClient::Pause(std::chrono::milliseconds time) {
    return worker_.Pause(time);
}

void TSaveDataBaseSendClient::Run() {
    do {
        try {
            Pass();
        } catch (const std::exception &e) {
            // Whatever went wrong, the next pass starts after the pause.
            qCDebug(lcClient) << "reply pass failed:" << e.what();
        }
    } while (Pause(paces_.replyPass));
    if (THistoryBacklog *backlog = Backlog()) {
        // Rows still waiting get one last chance before the process ends.
        backlog->Flush(backlog->Size());
        backlog->ReportLeft();
    }
    if (dmNet)
        dmNet->ReleaseThreadConnection();
}

THistoryBacklog *TSaveDataBaseSendClient::Backlog() {
    if (!dmNet)
        return nullptr;
    if (!backlog_ || &backlog_->Db() != dmNet)
        backlog_ = std::make_unique<THistoryBacklog>(*dmNet, FCommInfoHint);
    return backlog_.get();
}

void TSaveDataBaseSendClient::Pass() {
    // Rows that waited for the database go first, so rows stay in order; a
    // long backlog is written a slice per pass.
    constexpr std::size_t FlushPerPass = 1000;
    if (THistoryBacklog *backlog = Backlog(); backlog && backlog->Size() > 0)
        backlog->Flush(FlushPerPass);

    std::size_t i = 0;
    for (;;) {
        TTempHistoryInfo E;
        const TTempHistoryInfo *entry = nullptr;
        bool answered = false;
        {
            std::lock_guard guard(lstTempHistoryLock);
            for (; i < lstTempHistory.size(); ++i) {
                const TTempHistoryInfo &candidate = *lstTempHistory[i];
                if (!candidate.BodyValue.isEmpty()) {
                    answered = true;
                    break;
                }
                // Waiting for its answer: dropped once the expiry time has
                // passed since it was sent (an entry without a sending time
                // counts as sent long ago).
                if (!candidate.QueryTime.isValid() ||
                    candidate.QueryTime.msecsTo(clock_()) >= paces_.requestExpiry.count())
                    break;
            }
            if (i >= lstTempHistory.size())
                return;
            entry = lstTempHistory[i].get();
            E = *entry;
        }

        if (answered) {
            // A failure here ends the pass; the entry stays and is tried again.
            try {
                SendAnswer(E);
            } catch (const DbUnavailable &e) {
                // The owners cannot be looked up; waiting would hold up every
                // other answer for the whole outage.
                if (FCommInfoHint)
                    FCommInfoHint(LogEvent(TLogKind::Error, TLogPane::Events,
                                           QStringLiteral("Server->Client (EquipmentCode:") +
                                               E.EquipmentCode + QStringLiteral("  SerialId:") +
                                               QString::number(E.SerialId) +
                                               QStringLiteral(") not broadcast: ") +
                                               QString::fromStdString(e.what()),
                                           clRed)
                                      .WithUnit(E.EquipmentCode));
            }
            SaveHistory(E);
        } else {
            CountMetric(&TServerMetrics::requestsExpired);
        }

        {
            std::lock_guard guard(lstTempHistoryLock);
            const auto it = std::find_if(lstTempHistory.begin(), lstTempHistory.end(),
                                         [entry](const auto &p) { return p.get() == entry; });
            if (it != lstTempHistory.end()) {
                i = static_cast<std::size_t>(it - lstTempHistory.begin());
                lstTempHistory.erase(it);
            }
        }
        if (!Pause(paces_.replyPerEntry))
            return;
    }
}

void TSaveDataBaseSendClient::SendAnswer(const TTempHistoryInfo &E) {
    QString EquipmentClientStr;
    if (E.OperateFlag == u"01" || E.OperateFlag == u"05") {
        EquipmentClientStr = FClientTcp.EquipmentBroadcast(
            E.EquipmentCode, u'*' + E.OperateFlag + E.EquipmentCode + u'@' + E.EquipmentIp + u'&' +
                                 QString::number(E.EquipmentPort) + u'^' + E.BodyValue + u'#');
    } else {
        const QString answer = QStringLiteral("*01") + E.EquipmentCode + u'@' + E.EquipmentIp +
                               u'&' + QString::number(E.EquipmentPort) + u'^' + E.BodyValue + u'#' +
                               E.EquipmentName + u'*';
        if (FClientTcp.SendToClient(E.ClientIp, static_cast<int>(E.ClientPort), answer))
            EquipmentClientStr = QStringLiteral("Equipment:") + E.EquipmentName +
                                 QStringLiteral("  UserName:") + E.UserName +
                                 QStringLiteral("  ClientIP:") + E.ClientIp +
                                 QStringLiteral("  ClientPort:") + QString::number(E.ClientPort);
    }
    if (!FCommInfoHint)
        return;
    TLogEvent event =
        LogEvent(E.OperateFlag == u"01" ? TLogKind::Report : TLogKind::Reply, TLogPane::Traffic,
                 QStringLiteral("Server->Client (") + EquipmentClientStr +
                     QStringLiteral("  SiteNo.:") + E.SiteNum + QStringLiteral("  EquipmentNo.:") +
                     QString::number(E.EquipmentNum) + QStringLiteral("  SerialId:") +
                     QString::number(E.SerialId) + u')' + u'\r' + E.BodyValue,
                 clYellow);
    event.WithUnit(E.EquipmentCode).WithUser(E.UserName).WithPeer(E.ClientIp, E.ClientPort);
    // A report's body is the frame as the unit sent it: views decode its
    // items (the alarm states) from the event.
    if (E.OperateFlag == u"01")
        event.WithFrame(QByteArray::fromHex(E.BodyValue.toLatin1()));
    FCommInfoHint(event);
}

void TSaveDataBaseSendClient::SaveHistory(const TTempHistoryInfo &E) {
    THistoryBacklog *backlog = Backlog();
    if (!E.ErrorValue.isEmpty() || E.DataBody.isEmpty() || E.StoredElsewhere || !backlog)
        return;
    try {
        if (E.OperateFlag == u"01")
            backlog->Save(TAlarmHistoryRow{E.EquipmentCode, E.DataBody, E.ReturnTime});
        else if (E.OperateFlag == u"02" || E.OperateFlag == u"03")
            backlog->Save(TQueryHistoryRow{E.EquipmentName, E.EquipmentCode, E.OperateFlag,
                                           E.QueryMode, E.DataBody, E.QueryTime, E.ReturnTime});
    } catch (const std::exception &e) {
        // A row the database refuses for itself is lost (the entry is removed
        // all the same); the operator is told, so it does not go unnoticed.
        if (FCommInfoHint)
            FCommInfoHint(LogEvent(TLogKind::Error, TLogPane::Events,
                                   QStringLiteral("Save history (EquipmentCode:") +
                                       E.EquipmentCode + QStringLiteral("  SerialId:") +
                                       QString::number(E.SerialId) + QStringLiteral(") failed: ") +
                                       QString::fromStdString(e.what()),
                                   clRed)
                              .WithUnit(E.EquipmentCode));
    }
}
