// The log sink keeps call order across threads and stamps each line with the
// time of the call.
#include "CommInfoHintSink.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(CommInfoHintSink, LinesFromManyThreadsArriveInCallOrder) {
    TCommInfoHintSink sink;
    std::vector<QString> seen;
    std::vector<int> counts;
    QObject::connect(
        &sink, &TCommInfoHintSink::LineReady,
        [&](const QDateTime &, const QString &text, quint32) { seen.push_back(text); });
    QObject::connect(&sink, &TCommInfoHintSink::UserCountChanged,
                     [&](int c) { counts.push_back(c); });

    // Calls are made one after another from different threads; the order of
    // the calls is the order of delivery.
    TCommInfoHint hint = sink.CommInfoHint();
    TUserConnectNumber users = sink.UserConnectNumber();
    for (int i = 0; i < 50; ++i) {
        std::thread([&, i] {
            hint(QString::number(i), clWhite);
            users(i);
        }).join();
    }
    QCoreApplication::processEvents();
    ASSERT_EQ(seen.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(seen[i], QString::number(i));
        EXPECT_EQ(counts[i], i);
    }
}

TEST(CommInfoHintSink, CarriageReturnsStartNewOutputLines) {
    sysShortDate = QStringLiteral("yyyy-MM-dd");
    const QDateTime t(QDate(2026, 1, 2), QTime(3, 4, 5));
    EXPECT_EQ(FormatLogLine(t, QStringLiteral("Heartbeat\r7E0301")),
              QStringLiteral("2026-01-02 03:04:05->Heartbeat\n7E0301"));
    EXPECT_EQ(FormatLogLine(t, QStringLiteral("a\r\nb")),
              QStringLiteral("2026-01-02 03:04:05->a\nb"));
}

} // namespace
