// The metrics endpoint against clients that never send, send a byte at a
// time, send too much or ask for something else: each is cut or answered,
// and none delays the scrape of another.
#include "MetricsEndpoint.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The whole answer to the request (the endpoint closes after it); empty
// when the connection ends without one within five seconds.
QByteArray Ask(quint16 port, const QByteArray &request) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(3000))
        return {};
    socket.write(request);
    QByteArray reply;
    QElapsedTimer clock;
    clock.start();
    while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 5000)
        if (socket.waitForReadyRead(100))
            reply += socket.readAll();
    return reply + socket.readAll();
}

TEST(MetricsEndpoint, SilentAndSlowClientsAreCutAndDelayNoScrape) {
    TServerMetrics counters;
    TMetricsGauges gauges;
    gauges.unitsConnected = 7;
    TMetricsEndpoint endpoint(counters, gauges, 1500ms);
    ASSERT_TRUE(endpoint.Start(QStringLiteral("127.0.0.1"), 0))
        << endpoint.ErrorString().toStdString();
    const quint16 port = quint16(endpoint.Port());

    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 40; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QStringLiteral("127.0.0.1"), port);
        ASSERT_TRUE(idle.back()->waitForConnected(3000));
        if (i % 2) // every other one sends a byte, as a slow client would
            idle.back()->write("G");
        idle.back()->flush();
    }

    // Answered at once, well within the deadline the idle ones wait out.
    QElapsedTimer clock;
    clock.start();
    const QByteArray page = Ask(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(page.startsWith("HTTP/1.0 200 OK\r\n")) << page.left(80).toStdString();
    EXPECT_TRUE(page.contains("\nmms_units_connected 7\n")) << page.toStdString();

    const struct {
        QByteArray request;
        QByteArray status;
    } cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.0 404"},
        {"GET /metrics HTTP/1.0\r\nX: " + QByteArray(TMetricsEndpoint::MaxRequestBytes, 'x'),
         "HTTP/1.0 431"},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(Ask(port, c.request).startsWith(c.status)) << c.status.toStdString();

    // The idle ones are cut after the deadline.
    clock.restart();
    for (auto &socket : idle) {
        while (socket->state() == QAbstractSocket::ConnectedState && clock.elapsed() < 5000)
            socket->waitForReadyRead(100);
        EXPECT_NE(socket->state(), QAbstractSocket::ConnectedState);
    }
}

} // namespace
