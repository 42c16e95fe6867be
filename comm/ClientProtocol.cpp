#include "ClientProtocol.h"

#include "HexText.h"

namespace {

qsizetype SkipBlanks(QStringView s, qsizetype from) {
    while (from < s.size() && IsBlank(s[from]))
        ++from;
    return from;
}

} // namespace

std::optional<TClientMessage> TClientPackBuffer::Take() {
    const QStringView all(text_);
    for (;;) {
        // The opening "*": everything before it is discarded once a message
        // is complete.
        const qsizetype open = all.indexOf(u'*', pos_);
        if (open < 0)
            return std::nullopt;
        const qsizetype start = SkipBlanks(all, open + 1);
        const qsizetype close = all.indexOf(u'*', start);
        if (close < 0)
            return std::nullopt; // incomplete: keep everything for the next read
        const QStringView rec = all.sliced(start, close - start);
        if (rec.size() < 3) {
            // Too short to hold a code and a body: dropped, and its closing
            // "*" becomes the opening "*" of whatever follows.
            pos_ = close;
            continue;
        }
        pos_ = close + 1;
        return TClientMessage{rec.first(2).toString(), TrimBlanks(rec.sliced(2)).toString()};
    }
}

void TClientPackBuffer::Clear() {
    text_.clear();
    pos_ = 0;
}

void TClientPackBuffer::Compact() {
    if (pos_ == 0)
        return;
    if (pos_ >= text_.size())
        text_.clear();
    else
        text_.remove(0, pos_);
    pos_ = 0;
    if (text_.capacity() > 4 * (text_.size() + 1024))
        text_.squeeze();
}

TSuspendBody SplitSuspendBody(QStringView body) {
    return {body.first(std::min<qsizetype>(2, body.size())).toString(),
            TrimBlanks(body.size() > 2 ? body.sliced(2) : QStringView()).toString()};
}

TReminderBody SplitReminderBody(QStringView body) {
    const qsizetype p = body.indexOf(u'%');
    if (p < 0)
        return {QString(), TrimBlanks(body).toString()};
    return {body.first(p).toString(), TrimBlanks(body.sliced(p + 1)).toString()};
}

TRequestLogParts SplitRequestForLog(QStringView body) {
    TRequestLogParts parts;
    const qsizetype hash = body.indexOf(u'#');
    if (hash >= 0)
        parts.EquipmentName = TrimBlanks(body.sliced(hash + 1)).toString();
    const qsizetype at = body.indexOf(u'@');
    if (at >= 0) {
        parts.EquipmentCode = TrimBlanks(body.first(at)).toString();
        const qsizetype from = at + 3;
        const qsizetype to = hash >= 0 ? hash : body.size();
        if (from < to)
            parts.Dictate = body.sliced(from, to - from).toString();
    }
    return parts;
}

QString ChannelEntry(const QString &UserName, const QString &ClientIp, int ClientPort,
                     const QString &body) {
    return UserName + u'%' + ClientIp + u'^' + QString::number(ClientPort) + u'&' + body;
}

QString BroadcastTextFor(const QString &message, const QString &EquipmentName) {
    const QString code = message.mid(1, 2);
    if (code == u"01" || code == u"05")
        return message + EquipmentName + u'*';
    return message;
}

QString BroadcastReceiverText(const QString &EquipmentName, const QString &UserName,
                              const QString &ClientIp, int ClientPort) {
    return QStringLiteral(" [Equipment:") + EquipmentName + QStringLiteral("  UserName:") +
           UserName + QStringLiteral("  ClientIP:") + ClientIp + QStringLiteral("  ClientPort:") +
           QString::number(ClientPort) + u']';
}

QString FinishReceiverText(const QString &joined, int count) {
    QString text = TrimBlanks(joined).toString();
    if (count == 1 && text.size() >= 2)
        text = text.sliced(1, text.size() - 2);
    return text;
}
