#include "EventJson.h"

#include "FleetModel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QLatin1StringView KindName(TLogKind kind) {
    switch (kind) {
    case TLogKind::Note:
        return QLatin1StringView("note");
    case TLogKind::Heartbeat:
        return QLatin1StringView("heartbeat");
    case TLogKind::Reply:
        return QLatin1StringView("reply");
    case TLogKind::Report:
        return QLatin1StringView("report");
    case TLogKind::Request:
        return QLatin1StringView("request");
    case TLogKind::Connect:
        return QLatin1StringView("connect");
    case TLogKind::Disconnect:
        return QLatin1StringView("disconnect");
    case TLogKind::Error:
        return QLatin1StringView("error");
    case TLogKind::Save:
        return QLatin1StringView("save");
    case TLogKind::Mail:
        return QLatin1StringView("mail");
    }
    return QLatin1StringView("note");
}

// The window's colours are blue-green-red; the browser's are #rrggbb.
void AppendCssColour(QByteArray &out, quint32 bgr) {
    static constexpr char Hex[] = "0123456789abcdef";
    const quint32 rgb = ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
    out += "\"#";
    for (int shift = 20; shift >= 0; shift -= 4)
        out += Hex[(rgb >> shift) & 0xF];
    out += '"';
}

// `"key":` for a key that needs no escaping.
void AppendKey(QByteArray &out, const char *key) {
    out += ",\"";
    out += key;
    out += "\":";
}

} // namespace

void AppendJsonString(QByteArray &out, QStringView s) {
    static constexpr char Hex[] = "0123456789abcdef";
    out += '"';
    // Plain runs are converted in one piece; only the characters JSON
    // requires escaped are written one by one.
    qsizetype runStart = 0;
    const auto flush = [&](qsizetype end) {
        if (end > runStart)
            out += s.sliced(runStart, end - runStart).toUtf8();
    };
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        if (c >= 0x20 && c != u'"' && c != u'\\')
            continue;
        flush(i);
        runStart = i + 1;
        switch (c) {
        case u'"':
            out += "\\\"";
            break;
        case u'\\':
            out += "\\\\";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out += Hex[c >> 4];
            out += Hex[c & 0xF];
        }
    }
    flush(s.size());
    out += '"';
}

void TEventJsonWriter::AppendTime(QByteArray &out, const QDateTime &t) {
    if (!t.isValid()) {
        out += "\"\"";
        return;
    }
    const qint64 ms = t.toMSecsSinceEpoch();
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    if (second != second_ || t.timeSpec() != spec_ || t.offsetFromUtc() != offset_) {
        secondText_ = t.addMSecs(second * 1000 - ms).toString(Qt::ISODate).toLatin1();
        second_ = second;
        spec_ = t.timeSpec();
        offset_ = t.offsetFromUtc();
    }
    // "yyyy-MM-ddTHH:mm:ss" then the milliseconds, then any zone suffix.
    constexpr qsizetype SecondsEnd = 19;
    if (secondText_.size() < SecondsEnd || secondText_[SecondsEnd - 3] != ':') {
        out += '"' + t.toString(Qt::ISODateWithMs).toLatin1() + '"';
        return;
    }
    const int milli = int(ms - second * 1000);
    out += '"';
    out += QByteArrayView(secondText_).first(SecondsEnd);
    out += '.';
    out += char('0' + milli / 100);
    out += char('0' + milli / 10 % 10);
    out += char('0' + milli % 10);
    out += QByteArrayView(secondText_).sliced(SecondsEnd);
    out += '"';
}

void TEventJsonWriter::Append(QByteArray &out, const TLogEvent &e) {
    out += "{\"kind\":\"";
    out += KindName(e.kind);
    out += e.pane == TLogPane::Traffic ? "\",\"pane\":\"traffic\"" : "\",\"pane\":\"events\"";
    AppendKey(out, "text");
    AppendJsonString(out, e.text);
    AppendKey(out, "colour");
    AppendCssColour(out, e.colour);
    AppendKey(out, "time");
    AppendTime(out, e.time);
    if (!e.unit.isEmpty()) {
        AppendKey(out, "unit");
        AppendJsonString(out, e.unit);
    }
    if (!e.address.isEmpty()) {
        AppendKey(out, "address");
        AppendJsonString(out, e.address);
        AppendKey(out, "port");
        out += QByteArray::number(e.port);
    }
    if (!e.user.isEmpty()) {
        AppendKey(out, "user");
        AppendJsonString(out, e.user);
    }
    // A unit's report carries its alarm parameters' states decoded, for the
    // alarms page (the fleet model decodes them the same way).
    if (e.kind == TLogKind::Report && !e.frame.isEmpty()) {
        QJsonArray alarms;
        for (const TFleetAlarm &a : TFleetModel::AlarmsOf(e))
            alarms.append(QJsonObject{{QStringLiteral("param"), a.ParamCode},
                                      {QStringLiteral("parameter"), a.Parameter},
                                      {QStringLiteral("state"), a.State}});
        if (!alarms.isEmpty()) {
            AppendKey(out, "alarms");
            out += QJsonDocument(alarms).toJson(QJsonDocument::Compact);
        }
    }
    out += '}';
}

QByteArray EventJson(const TLogEvent &e) {
    QByteArray out;
    TEventJsonWriter().Append(out, e);
    return out;
}
