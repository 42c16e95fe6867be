#include "SimFleet.h"

#include "ValueConversion.h"

#include <QDateTime>
#include <QHostInfo>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>
#include <cmath>

namespace {

using Millis = std::chrono::duration<double, std::milli>;

constexpr std::size_t kMaxPending = 64; // heartbeats waiting for their reply, per unit
constexpr int kMaxActionsPerRun = 256;  // then the event loop gets a turn
constexpr std::size_t kMaxLatencySamples = 2'000'000;

std::chrono::steady_clock::duration Seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

QString Ms(double v) {
    return QString::number(v, 'f', v < 10 ? 2 : 1);
}

} // namespace

double SimPercentile(std::vector<float> values, double q) {
    if (values.empty())
        return 0;
    const auto n = values.size();
    auto rank = std::size_t(std::ceil(std::clamp(q, 0.0, 1.0) * double(n)));
    rank = std::clamp<std::size_t>(rank, 1, n) - 1;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(rank), values.end());
    return values[rank];
}

TSimFleet::TSimFleet(TSimFleetConfig config, std::shared_ptr<const TSimParamTable> table,
                     Output output, QObject *parent)
    : QObject(parent), config_(std::move(config)), table_(std::move(table)),
      output_(std::move(output)) {
    if (!table_)
        table_ = std::make_shared<const TSimParamTable>(TSimParamTable::BuiltIn());
    if (!output_)
        output_ = [](const QString &) {};
    alarmCodes_ = table_->AlarmCodes();
    slots_.resize(std::size_t(std::max(0, config_.count)));
    for (int k = 0; k < int(slots_.size()); ++k) {
        const int number = config_.firstIndex + k;
        TSimIdentity id;
        id.code = config_.codePrefix + QString::number(number);
        id.type = config_.type;
        id.station = config_.stationBase + quint32(number);
        id.equipmentNum = config_.equipmentNum;
        slots_[std::size_t(k)].unit = std::make_unique<TSimUnit>(id, table_, config_.pages);
    }
    scheduler_.setSingleShot(true);
    scheduler_.setTimerType(Qt::PreciseTimer);
    connect(&scheduler_, &QTimer::timeout, this, &TSimFleet::RunDue);
    alarmTimer_.setInterval(100);
    connect(&alarmTimer_, &QTimer::timeout, this, &TSimFleet::OnAlarmTick);
    if (config_.alarmRepeatSeconds > 0)
        repeatTimer_.setInterval(std::clamp(int(config_.alarmRepeatSeconds * 1000 / 4), 10, 1000));
    connect(&repeatTimer_, &QTimer::timeout, this, &TSimFleet::RepeatAlarms);
}

TSimFleet::~TSimFleet() {
    Stop();
}

bool TSimFleet::Start() {
    if (!address_.setAddress(config_.host)) {
        const QHostInfo info = QHostInfo::fromName(config_.host);
        const auto addresses = info.addresses();
        const auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress &a) {
            return a.protocol() == QAbstractSocket::IPv4Protocol;
        });
        if (v4 == addresses.end()) {
            output_(QStringLiteral("cannot resolve host ") + config_.host + QStringLiteral(": ") +
                    info.errorString());
            return false;
        }
        address_ = *v4;
    }
    stopped_ = false;
    sending_ = true;
    const auto start = Clock::now();
    for (int k = 0; k < UnitCount(); ++k) {
        const double offset = config_.connectRate > 0 ? k / config_.connectRate : 0.0;
        Schedule(start + Seconds(offset), k, Action::Connect);
    }
    if (config_.alarmRate > 0 && !alarmCodes_.isEmpty()) {
        lastAlarmTick_ = Clock::now();
        alarmTimer_.start();
    }
    if (config_.alarmRepeatSeconds > 0)
        repeatTimer_.start();
    return true;
}

void TSimFleet::PauseSending() {
    sending_ = false;
    alarmTimer_.stop();
}

void TSimFleet::Stop() {
    stopped_ = true;
    sending_ = false;
    scheduler_.stop();
    alarmTimer_.stop();
    repeatTimer_.stop();
    due_ = {};
    for (Slot &slot : slots_) {
        ++slot.generation;
        if (slot.state == LinkState::Up)
            --connected_;
        slot.state = LinkState::Idle;
        if (slot.socket)
            slot.socket->abort();
    }
}

qint64 TSimFleet::PendingHeartbeats() const {
    qint64 n = 0;
    for (const Slot &slot : slots_)
        n += qint64(slot.pendingHeartbeats.size());
    return n;
}

void TSimFleet::Schedule(Clock::time_point at, int index, Action action) {
    due_.push(Due{at, index, slots_[std::size_t(index)].generation, action});
    if (!scheduler_.isActive() || at < armedAt_)
        Arm();
}

void TSimFleet::Arm() {
    if (due_.empty() || stopped_) {
        scheduler_.stop();
        return;
    }
    armedAt_ = due_.top().at;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(armedAt_ - Clock::now()).count();
    if (config_.tickMillis > 1 && wait > 0) {
        // Wake on the grid: the next multiple of the tick, counted on the clock.
        const auto now =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
                .count();
        const auto wake =
            (now + wait + config_.tickMillis - 1) / config_.tickMillis * config_.tickMillis;
        wait = wake - now;
        armedAt_ = Clock::now() + std::chrono::milliseconds(wait);
    }
    scheduler_.start(int(std::max<qint64>(0, wait)));
}

void TSimFleet::RunDue() {
    const auto now = Clock::now();
    int done = 0;
    while (!due_.empty() && due_.top().at <= now && done < kMaxActionsPerRun) {
        const Due due = due_.top();
        due_.pop();
        Slot &slot = slots_[std::size_t(due.index)];
        if (due.generation != slot.generation)
            continue; // planned for a link that has gone since
        ++done;
        switch (due.action) {
        case Action::Connect:
            Connect(due.index);
            break;
        case Action::Heartbeat:
            if (!sending_ || slot.state != LinkState::Up)
                break;
            ExpireHeartbeats(slot, now);
            SendHeartbeat(due.index);
            {
                // Keep the unit's phase; after a stall start again from now.
                auto next = due.at + Seconds(config_.heartbeatSeconds);
                if (next < now)
                    next = now + Seconds(config_.heartbeatSeconds);
                Schedule(next, due.index, Action::Heartbeat);
            }
            break;
        }
    }
    Arm();
}

void TSimFleet::Connect(int index) {
    Slot &slot = slots_[std::size_t(index)];
    if (!slot.socket) {
        slot.socket = new QTcpSocket(this);
        QTcpSocket *socket = slot.socket;
        connect(socket, &QTcpSocket::connected, this, [this, index] { OnConnected(index); });
        connect(socket, &QTcpSocket::readyRead, this, [this, index] { OnReadyRead(index); });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, index] { OnDown(index, QStringLiteral("closed by the server")); });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this, index, socket] { OnDown(index, socket->errorString()); });
    }
    slot.socket->abort();
    slot.state = LinkState::Connecting;
    ++stats_.connectAttempts;
    slot.socket->connectToHost(address_, config_.port);
}

void TSimFleet::OnConnected(int index) {
    Slot &slot = slots_[std::size_t(index)];
    if (slot.state != LinkState::Connecting)
        return;
    slot.state = LinkState::Up;
    slot.registered = false;
    ++connected_;
    slot.socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Trace(index, QStringLiteral("connected from port %1").arg(slot.socket->localPort()));
    if (sending_) {
        SendHeartbeat(index); // the first heartbeat registers the unit at once
        // Phases spread evenly whatever the fleet size (golden-ratio sequence).
        const double phase =
            config_.staggerHeartbeats ? std::fmod(0.5 + index * 0.6180339887498949, 1.0) : 1.0;
        Schedule(Clock::now() + Seconds(config_.heartbeatSeconds * std::max(phase, 0.05)), index,
                 Action::Heartbeat);
    }
}

void TSimFleet::OnDown(int index, const QString &why) {
    Slot &slot = slots_[std::size_t(index)];
    if (slot.state == LinkState::Idle)
        return;
    const bool wasUp = slot.state == LinkState::Up;
    slot.state = LinkState::Idle;
    ++slot.generation;
    lastError_ = why;
    if (wasUp) {
        --connected_;
        ++stats_.disconnects;
        stats_.heartbeatsLost += qint64(slot.pendingHeartbeats.size());
        Event(index, QStringLiteral("down"), QString::number(slot.pendingHeartbeats.size()));
        slot.pendingHeartbeats.clear();
        Trace(index, QStringLiteral("connection lost: ") + why);
    } else {
        ++stats_.connectFailures;
        Trace(index, QStringLiteral("cannot connect: ") + why);
    }
    if (!stopped_ && config_.reconnectSeconds > 0)
        Schedule(Clock::now() + Seconds(config_.reconnectSeconds), index, Action::Connect);
}

void TSimFleet::OnReadyRead(int index) {
    Slot &slot = slots_[std::size_t(index)];
    if (slot.state != LinkState::Up)
        return;
    const QByteArray bytes = slot.socket->readAll();
    const auto now = Clock::now();
    for (TSimEvent &event : slot.unit->Feed(bytes)) {
        QString extra;
        switch (event.kind) {
        case TSimEvent::Kind::HeartbeatReply: {
            auto &pending = slot.pendingHeartbeats;
            const auto it = std::find_if(pending.begin(), pending.end(),
                                         [&](const auto &p) { return p.first == event.serial; });
            if (it == pending.end()) {
                ++stats_.unmatchedReplies;
                extra = QStringLiteral(" (no heartbeat waits for it)");
                break;
            }
            const double ms = Millis(now - it->second).count();
            pending.erase(it);
            ++stats_.heartbeatReplies;
            if (stats_.latencyMs.size() >= kMaxLatencySamples) // a long run keeps the newest
                stats_.latencyMs.erase(stats_.latencyMs.begin(),
                                       stats_.latencyMs.begin() + kMaxLatencySamples / 2);
            stats_.latencyMs.push_back(float(ms));
            if (!slot.registered)
                Event(index, QStringLiteral("up"));
            slot.registered = true;
            if (!slot.answered) {
                slot.answered = true;
                ++answered_;
            }
            extra = QStringLiteral(" after ") + Ms(ms) + QStringLiteral(" ms");
            break;
        }
        case TSimEvent::Kind::AlarmAck: {
            auto &pending = slot.pendingAlarms;
            const auto it = std::find_if(pending.begin(), pending.end(), [&](const auto &r) {
                return r.frame.serial == event.serial;
            });
            if (it != pending.end()) {
                Event(index, QStringLiteral("ack"),
                      QString::number(event.serial) + QLatin1Char(' ') + it->frame.item);
                pending.erase(it);
                ++stats_.alarmAcks;
            } else {
                extra = QStringLiteral(" (no report waits for it)");
            }
            break;
        }
        case TSimEvent::Kind::Query:
            ++stats_.queries;
            Event(index, QStringLiteral("command"), QString::number(event.serial));
            break;
        case TSimEvent::Kind::Set:
            ++stats_.sets;
            Event(index, QStringLiteral("command"), QString::number(event.serial));
            break;
        case TSimEvent::Kind::StationChange:
            ++stats_.stationChanges;
            Event(index, QStringLiteral("command"), QString::number(event.serial));
            break;
        case TSimEvent::Kind::ParamListPage:
            ++stats_.listPages;
            break;
        case TSimEvent::Kind::Unsupported:
            ++stats_.unsupported;
            break;
        case TSimEvent::Kind::Rejected:
            ++stats_.rejected;
            break;
        }
        if (config_.trace) {
            QString line = QStringLiteral("<- ") + SimEventKindName(event.kind) + extra;
            if (!event.note.isEmpty())
                line += QStringLiteral(" [") + event.note + QLatin1Char(']');
            line += QStringLiteral(": ") + event.received;
            if (event.kind != TSimEvent::Kind::Rejected)
                line += QStringLiteral("  {") + SimDescribeFrame(event.received) + QLatin1Char('}');
            Trace(index, line);
        }
        if (event.reply)
            Write(index, *event.reply, QStringLiteral("answer"));
        if (observer_)
            observer_(index, event);
    }
}

void TSimFleet::ExpireHeartbeats(Slot &slot, Clock::time_point now) {
    const auto timeout = Seconds(config_.replyTimeoutSeconds);
    while (!slot.pendingHeartbeats.empty() &&
           (now - slot.pendingHeartbeats.front().second > timeout ||
            slot.pendingHeartbeats.size() >= kMaxPending)) {
        slot.pendingHeartbeats.pop_front();
        ++stats_.heartbeatsLost;
    }
}

bool TSimFleet::SendHeartbeat(int index) {
    if (index < 0 || index >= UnitCount())
        return false;
    Slot &slot = slots_[std::size_t(index)];
    if (slot.state != LinkState::Up)
        return false;
    const TSimOutFrame frame = slot.unit->MakeHeartbeat();
    ExpireHeartbeats(slot, Clock::now());
    slot.pendingHeartbeats.emplace_back(frame.serial, Clock::now());
    ++stats_.heartbeatsSent;
    Write(index, frame, QStringLiteral("heartbeat"));
    return true;
}

bool TSimFleet::SendAlarm(int index, const QString &paramCode, bool alert, QString *error) {
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (index < 0 || index >= UnitCount())
        return fail(QStringLiteral("no such unit"));
    Slot &slot = slots_[std::size_t(index)];
    if (slot.state != LinkState::Up)
        return fail(slot.unit->Identity().code + QStringLiteral(" is not connected"));
    const auto frame = slot.unit->MakeAlarmReport(paramCode, alert);
    if (!frame)
        return fail(QStringLiteral("no parameter ") + paramCode);
    if (slot.pendingAlarms.size() >= kMaxUnackedAlarms) {
        slot.pendingAlarms.pop_front();
        ++stats_.alarmsGivenUp;
    }
    slot.pendingAlarms.push_back({*frame, Clock::now()});
    ++stats_.alarmsSent;
    Write(index, *frame, QStringLiteral("alarm report"));
    return true;
}

qint64 TSimFleet::UnackedAlarms() const {
    qint64 n = 0;
    for (const Slot &slot : slots_)
        n += qint64(slot.pendingAlarms.size());
    return n;
}

void TSimFleet::RepeatAlarms() {
    if (!sending_)
        return; // paused: replies still count, nothing new leaves
    const auto now = Clock::now();
    const auto after = Seconds(config_.alarmRepeatSeconds);
    for (int index = 0; index < UnitCount(); ++index) {
        Slot &slot = slots_[std::size_t(index)];
        // Only a registered connection is listened to.
        if (slot.state != LinkState::Up || !slot.registered)
            continue;
        for (Slot::Report &report : slot.pendingAlarms) {
            if (now - report.sentAt < after)
                continue;
            report.sentAt = now;
            ++stats_.alarmsRepeated;
            Write(index, report.frame, QStringLiteral("alarm report (again)"));
        }
    }
}

void TSimFleet::OnAlarmTick() {
    const auto now = Clock::now();
    alarmCredit_ += config_.alarmRate * std::chrono::duration<double>(now - lastAlarmTick_).count();
    lastAlarmTick_ = now;
    if (connected_ == 0 || alarmCodes_.isEmpty()) {
        alarmCredit_ = std::min(alarmCredit_, 1.0);
        return;
    }
    std::uniform_int_distribution<int> pickUnit(0, UnitCount() - 1);
    std::uniform_int_distribution<int> pickCode(0, int(alarmCodes_.size()) - 1);
    while (alarmCredit_ >= 1) {
        alarmCredit_ -= 1;
        for (int attempt = 0; attempt < 16; ++attempt) {
            const int index = pickUnit(random_);
            if (slots_[std::size_t(index)].state != LinkState::Up)
                continue;
            const QString code = alarmCodes_[pickCode(random_)];
            // Toggle: a parameter at rest goes to alert, one in alert comes back.
            const QString raw = slots_[std::size_t(index)].unit->RawValue(code);
            const bool alert = !raw.contains(QRegularExpression(QStringLiteral("[1-9A-F]")));
            SendAlarm(index, code, alert, nullptr);
            break;
        }
    }
}

void TSimFleet::Write(int index, const TSimOutFrame &frame, const QString &what) {
    Slot &slot = slots_[std::size_t(index)];
    slot.socket->write(frame.bytes);
    // Hand the bytes to the kernel now (it never blocks) rather than one event
    // loop turn later: fewer turns under load and a truer latency.
    slot.socket->flush();
    if (config_.trace)
        Trace(index, QStringLiteral("-> ") + what + QStringLiteral(": ") + frame.frame +
                         QStringLiteral("  {") + SimDescribeFrame(frame.frame) + QLatin1Char('}'));
}

void TSimFleet::Trace(int index, const QString &text) {
    if (!config_.trace)
        return;
    output_(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz ")) +
            slots_[std::size_t(index)].unit->Identity().code + QLatin1Char(' ') + text);
}

void TSimFleet::Event(int index, const QString &what, const QString &details) {
    if (!config_.events)
        return;
    QString line = QStringLiteral("event ") + QString::number(QDateTime::currentMSecsSinceEpoch()) +
                   QLatin1Char(' ') + what + QLatin1Char(' ') +
                   slots_[std::size_t(index)].unit->Identity().code;
    if (!details.isEmpty())
        line += QLatin1Char(' ') + details;
    output_(line);
}

std::optional<int> TSimFleet::FindUnit(const QString &which) const {
    bool isNumber = false;
    const int number = which.toInt(&isNumber);
    if (isNumber) {
        const int index = number - config_.firstIndex;
        if (index >= 0 && index < UnitCount())
            return index;
    }
    for (int k = 0; k < UnitCount(); ++k)
        if (slots_[std::size_t(k)].unit->Identity().code == which)
            return k;
    return std::nullopt;
}

QString TSimFleet::CommandHelp() {
    return QStringLiteral(
        "commands (a unit is its number or its code, a parameter its four hex digits):\n"
        "  alarm <unit> <param> alert|normal  send an alarm report with the new state\n"
        "  set <unit> <param> <value>         change a value (display text, e.g. 31.5)\n"
        "  show <unit>                        list the unit's parameters and values\n"
        "  heartbeat <unit>                   send a heartbeat now\n"
        "  status                             print the counters\n"
        "  quit                               close every connection and end");
}

QString TSimFleet::Execute(const QString &line) {
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {};
    const QString command = words[0].toLower();
    if (command == QLatin1String("help"))
        return CommandHelp();
    if (command == QLatin1String("status"))
        return StatusLine();
    if (words.size() < 2)
        return QStringLiteral("unknown or incomplete command; try help");
    const auto index = FindUnit(words[1]);
    if (!index)
        return QStringLiteral("no unit ") + words[1];
    TSimUnit &unit = Unit(*index);
    const QString code = unit.Identity().code;

    if (command == QLatin1String("alarm") && words.size() == 4) {
        const QString state = words[3].toLower();
        if (state != QLatin1String("alert") && state != QLatin1String("normal"))
            return QStringLiteral("the state is alert or normal");
        QString error;
        if (!SendAlarm(*index, words[2].toUpper(), state == QLatin1String("alert"), &error))
            return QStringLiteral("alarm not sent: ") + error;
        return code + QStringLiteral(": alarm report ") + words[2].toUpper() + QLatin1Char(' ') +
               state + QStringLiteral(" sent");
    }
    if (command == QLatin1String("heartbeat") && words.size() == 2)
        return SendHeartbeat(*index) ? code + QStringLiteral(": heartbeat sent")
                                     : code + QStringLiteral(" is not connected");
    if (command == QLatin1String("set") && words.size() >= 4) {
        const TSimParam *param = unit.Table().Find(words[2].toUpper());
        if (!param)
            return QStringLiteral("no parameter ") + words[2];
        const QString text = QStringList(words.mid(3)).join(QLatin1Char(' '));
        QString raw;
        try {
            raw = FromNormalToASC(param->code, text, param->type, param->len, param->unit);
        } catch (const ConvertError &e) {
            return QStringLiteral("cannot encode ") + text + QStringLiteral(": ") + e.what();
        }
        if (!unit.SetRawValue(param->code, raw.left(2 * param->len)) &&
            !unit.SetRawValue(param->code, text.toUpper()))
            return QStringLiteral("cannot set ") + param->code + QStringLiteral(" to ") + text;
        return code + QLatin1Char(' ') + param->code + QStringLiteral(" = ") +
               unit.RawValue(param->code);
    }
    if (command == QLatin1String("show") && words.size() == 2) {
        QStringList lines;
        const TSimIdentity &id = unit.Identity();
        lines.append(QStringLiteral("%1: type %2, station 0x%3, equipment %4")
                         .arg(id.code)
                         .arg(id.type, 2, 16, QLatin1Char('0'))
                         .arg(QString::number(id.station, 16).toUpper())
                         .arg(id.equipmentNum));
        for (const TSimParam &p : unit.Table().Params()) {
            const QString raw = unit.RawValue(p.code);
            QString shown;
            try {
                shown = FromAscToNormal(p.code, raw, p.type, p.unit).trimmed();
            } catch (const ConvertError &) {
                shown = QStringLiteral("(needs the dictionary: --db)");
            }
            lines.append(QStringLiteral("  %1 %2 = %3 (%4)").arg(p.code, p.name, shown, raw));
        }
        return lines.join(QLatin1Char('\n'));
    }
    return QStringLiteral("unknown or incomplete command; try help");
}

QString TSimFleet::StatusLine() const {
    QString line =
        QStringLiteral("units %1 connected %2 answered %3 | heartbeats sent %4 answered %5 "
                       "lost %6 pending %7 | latency p50 %8 ms p99 %9 ms")
            .arg(UnitCount())
            .arg(connected_)
            .arg(answered_)
            .arg(stats_.heartbeatsSent)
            .arg(stats_.heartbeatReplies)
            .arg(stats_.heartbeatsLost)
            .arg(PendingHeartbeats())
            .arg(Ms(SimPercentile(stats_.latencyMs, 0.50)),
                 Ms(SimPercentile(stats_.latencyMs, 0.99)));
    line += QStringLiteral(" | alarms %1 acked %2 repeated %3 unacked %4 | queries %5 sets %6 "
                           "station changes %7 list pages %8 rejected %9")
                .arg(stats_.alarmsSent)
                .arg(stats_.alarmAcks)
                .arg(stats_.alarmsRepeated)
                .arg(UnackedAlarms())
                .arg(stats_.queries)
                .arg(stats_.sets)
                .arg(stats_.stationChanges)
                .arg(stats_.listPages)
                .arg(stats_.rejected + stats_.unsupported);
    if (stats_.connectFailures + stats_.disconnects > 0)
        line += QStringLiteral(" | connect failures %1 disconnects %2 (last: %3)")
                    .arg(stats_.connectFailures)
                    .arg(stats_.disconnects)
                    .arg(lastError_);
    return line;
}
