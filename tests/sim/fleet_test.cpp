// The fleet over real loopback sockets against a minimal stand-in for the
// server's equipment port: heartbeats are answered, a query is answered,
// an alarm report is acknowledged and a dropped link comes back.
#include "FrameCodec.h"
#include "PackRecord.h"
#include "SimFleet.h"
#include "ValueConversion.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace {

// Answers heartbeats as the server does, acknowledges alarm reports, sends
// one query to each unit after its first heartbeat and keeps what it saw.
class FakeEquipmentPort : public QObject {
public:
    FakeEquipmentPort() {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server_.nextPendingConnection()) {
                sockets_.push_back(socket);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
            }
        });
    }
    quint16 Port() const { return server_.serverPort(); }

    std::map<QString, QString> codes; // equipment code -> SiteId of its last heartbeat
    std::vector<QString> answers;     // frames with command 02 or 03 from the units
    int heartbeats = 0;
    int reports = 0;
    int unacknowledged = 0; // the first reports that get no acknowledgement
    std::vector<QTcpSocket *> sockets_;

private:
    void Read(QTcpSocket *socket) {
        QByteArray &buffer = buffers_[socket];
        buffer += socket->readAll();
        qsizetype start;
        while ((start = buffer.indexOf(char(0x7E))) >= 0) {
            const qsizetype end = buffer.indexOf(char(0x7E), start + 1);
            if (end < 0)
                break;
            const QString frame =
                ReceiveTransFormat(BytesToHex(buffer.mid(start, end - start + 1)));
            buffer.remove(0, end + 1);
            Handle(socket, frame);
        }
    }

    void Send(QTcpSocket *socket, const QString &content) {
        QByteArray bytes;
        SendTransFormatBuf(BuildFrame(content), bytes);
        socket->write(bytes);
    }

    void Handle(QTcpSocket *socket, const QString &frame) {
        if (!CheckFrame(frame))
            return;
        if (frame.mid(20, 14) == QLatin1String("8001EEFF1B2200")) {
            ++heartbeats;
            const QString code = FromAscToNormal(QStringLiteral("0022"), frame.mid(34, 48), 0x21,
                                                 QStringLiteral("00"));
            const bool first = !codes.count(code);
            codes[code] = frame.mid(6, 10);
            Send(socket, frame.mid(2, 18) + QStringLiteral("0001EE00") + frame.mid(28, 62));
            if (first) // query 0x0102 with serial 7
                Send(socket, frame.mid(2, 14) + QStringLiteral("0700800102FF04020100"));
            return;
        }
        const QString op = frame.mid(24, 2);
        if (op == QLatin1String("01")) {
            if (++reports > unacknowledged)
                Send(socket, frame.mid(2, 18) + QStringLiteral("00010100"));
        } else if (op == QLatin1String("02") || op == QLatin1String("03")) {
            answers.push_back(frame);
        }
    }

    QTcpServer server_;
    std::map<QTcpSocket *, QByteArray> buffers_;
};

// Runs the event loop until the condition holds or 10 seconds pass.
bool WaitFor(const std::function<bool()> &condition) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > 10000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(SimFleet, UnitsHeartbeatAnswerAndReport) {
    FakeEquipmentPort port;
    TSimFleetConfig config;
    config.port = port.Port();
    config.count = 3;
    config.heartbeatSeconds = 0.2;
    config.connectRate = 0;
    config.trace = true;
    QStringList output;
    TSimFleet fleet(config, nullptr, [&output](const QString &line) { output.append(line); });
    ASSERT_TRUE(fleet.Start());

    ASSERT_TRUE(WaitFor([&] { return fleet.AnsweredCount() == 3 && port.answers.size() == 3; }));
    EXPECT_EQ(fleet.ConnectedCount(), 3);
    EXPECT_EQ(port.codes.size(), 3u);
    EXPECT_EQ(port.codes[QStringLiteral("SIM2")], QStringLiteral("0200010001")); // 0x10002, no. 1
    for (const QString &answer : port.answers) {
        const TOnePackRecord r = ResolveOnePackRecord(answer);
        EXPECT_EQ(r.SerialId, 7);
        EXPECT_EQ(r.NPEachFlag, QStringLiteral("00"));
        EXPECT_EQ(r.ResponseFlag, QStringLiteral("00"));
        EXPECT_EQ(r.ObjStr, QStringLiteral("04020101"));
    }
    EXPECT_EQ(fleet.Stats().queries, 3);

    // Several heartbeats each, all answered.
    ASSERT_TRUE(WaitFor([&] { return fleet.Stats().heartbeatReplies >= 9; }));
    EXPECT_EQ(fleet.Stats().heartbeatsLost, 0);
    EXPECT_EQ(fleet.Stats().unmatchedReplies, 0);
    EXPECT_EQ(fleet.Stats().latencyMs.size(), std::size_t(fleet.Stats().heartbeatReplies));

    EXPECT_TRUE(
        fleet.Execute(QStringLiteral("alarm SIM3 0301 alert")).contains(QLatin1String("sent")));
    EXPECT_TRUE(
        fleet.Execute(QStringLiteral("alarm 99 0301 alert")).startsWith(QLatin1String("no unit")));
    ASSERT_TRUE(WaitFor([&] { return fleet.Stats().alarmAcks == 1; }));
    EXPECT_EQ(port.reports, 1);
    EXPECT_EQ(fleet.Unit(2).RawValue(QStringLiteral("0301")), QStringLiteral("01"));
    ASSERT_FALSE(output.isEmpty());
    EXPECT_TRUE(output.join(QLatin1Char('\n')).contains(QLatin1String("SIM3 -> alarm report")));
    fleet.Stop();
    EXPECT_EQ(fleet.ConnectedCount(), 0);
}

// A report without acknowledgement is sent again at the repeat pace, and
// no more once it is acknowledged.
TEST(SimFleet, RepeatsAnAlarmReportUntilItIsAcknowledged) {
    FakeEquipmentPort port;
    port.unacknowledged = 2;
    TSimFleetConfig config;
    config.port = port.Port();
    config.count = 1;
    config.heartbeatSeconds = 0.2;
    config.alarmRepeatSeconds = 0.1;
    TSimFleet fleet(config, nullptr, nullptr);
    ASSERT_TRUE(fleet.Start());
    ASSERT_TRUE(WaitFor([&] { return fleet.AnsweredCount() == 1; }));
    ASSERT_TRUE(fleet.SendAlarm(0, QStringLiteral("0301"), true, nullptr));
    EXPECT_EQ(fleet.UnackedAlarms(), 1);
    ASSERT_TRUE(WaitFor([&] { return fleet.Stats().alarmAcks == 1; }));
    EXPECT_EQ(port.reports, 3);
    EXPECT_EQ(fleet.Stats().alarmsRepeated, 2);
    EXPECT_EQ(fleet.UnackedAlarms(), 0);
    QElapsedTimer idle;
    idle.start();
    WaitFor([&] { return idle.elapsed() > 400; });
    EXPECT_EQ(port.reports, 3);
    EXPECT_EQ(fleet.Stats().alarmsSent, 1);
}

TEST(SimFleet, ReconnectsALostLink) {
    FakeEquipmentPort port;
    TSimFleetConfig config;
    config.port = port.Port();
    config.count = 1;
    config.heartbeatSeconds = 0.2;
    config.reconnectSeconds = 0.1;
    TSimFleet fleet(config, nullptr, nullptr);
    ASSERT_TRUE(fleet.Start());
    ASSERT_TRUE(WaitFor([&] { return fleet.AnsweredCount() == 1; }));
    port.sockets_.front()->abort();
    ASSERT_TRUE(WaitFor([&] { return fleet.Stats().disconnects == 1; }));
    ASSERT_TRUE(WaitFor([&] { return fleet.ConnectedCount() == 1 && port.sockets_.size() == 2; }));
    EXPECT_EQ(fleet.Stats().connectAttempts, 2);
}

TEST(SimFleet, PercentileByNearestRank) {
    EXPECT_EQ(SimPercentile({}, 0.5), 0);
    EXPECT_EQ(SimPercentile({5, 1, 3, 2, 4}, 0.5), 3);
    EXPECT_EQ(SimPercentile({5, 1, 3, 2, 4}, 0.99), 5);
    EXPECT_EQ(SimPercentile({5, 1, 3, 2, 4}, 0.0), 1);
}

} // namespace
