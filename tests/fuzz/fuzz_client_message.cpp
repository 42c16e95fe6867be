// A client's byte stream cut into messages, in pieces of any size: no input
// crashes the cutting or the body splitters, the buffer never holds more than
// was received, and cutting in pieces gives the messages cutting in one go
// gives.
#include "ClientProtocol.h"

#include <QString>
#include <QStringDecoder>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void Split(const TClientMessage &m) {
    (void)SplitSuspendBody(m.Body);
    (void)SplitReminderBody(m.Body);
    (void)SplitRequestForLog(m.Body);
    const QString entry = ChannelEntry(m.Body, QStringLiteral("127.0.0.1"), 1, m.Body);
    (void)BroadcastTextFor(QStringLiteral("*") + m.KeyFlag + m.Body, m.Body);
    (void)BroadcastReceiverText(m.Body, m.KeyFlag, QStringLiteral("127.0.0.1"), 1);
    (void)FinishReceiverText(entry, 1);
}

std::vector<QString> CutAll(const QString &text, qsizetype piece) {
    std::vector<QString> out;
    TClientPackBuffer buffer;
    qsizetype received = 0;
    for (qsizetype at = 0; at < text.size(); at += piece) {
        const QStringView part = QStringView(text).sliced(at, std::min(piece, text.size() - at));
        buffer.Append(part);
        received += part.size();
        while (const auto m = buffer.Take()) {
            if (m->KeyFlag.size() > 2)
                std::abort();
            Split(*m);
            out.push_back(m->KeyFlag + u'|' + m->Body);
        }
        if (buffer.PendingSize() > received)
            std::abort();
        buffer.Compact();
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte chooses the piece size; the rest is the stream, decoded
    // as the server decodes it.
    const qsizetype piece = 1 + data[0] % 16;
    QStringDecoder decoder("GB18030");
    const QString text = decoder.decode(
        QByteArrayView(reinterpret_cast<const char *>(data) + 1, static_cast<qsizetype>(size - 1)));
    if (CutAll(text, piece) != CutAll(text, text.size() + 1))
        std::abort();
    return 0;
}
