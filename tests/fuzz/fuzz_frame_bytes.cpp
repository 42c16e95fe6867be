// Raw bytes as the equipment port receives them: fed to a frame cutter in
// pieces, every cut frame decoded; each decode must agree with the hex text
// codec, re-encode to a frame that decodes to the same fields, and the
// frames built in reply must decode as valid frames.
#include "Frame.h"
#include "FrameCodec.h"
#include "FrameCutter.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// A frame built by the server decodes as valid and gives its fields back.
void RequireRoundTrip(const TFrame &frame) {
    const QByteArray wire = frame.Encode();
    Require(wire.count(char(0x7E)) == 2);
    const TDecodedFrame back = TFrame::Decode(wire);
    Require(back.Ok());
    Require(back.Frame == frame);
    Require(back.Plain == frame.Plain());
}

void Examine(QByteArrayView wire, bool cut) {
    const TDecodedFrame d = TFrame::Decode(wire);
    if (d.Fault == TFrameFault::Oversize)
        return;
    // Unescaping and the check code agree with the text codec.
    const QString truly = ReceiveTransFormat(BytesToHex(wire));
    Require(BytesToHex(d.Plain) == truly);
    Require(d.CheckOk == ::CheckFrame(truly));
    Require(d.Plain.size() <= wire.size());
    if (d.Fault != TFrameFault::None)
        return;
    RequireRoundTrip(d.Frame);
    // A cut frame holds no bare flag inside: properly escaped and checked,
    // it is exactly what encoding its fields gives.
    if (cut && d.EscapesOk && d.CheckOk)
        Require(d.Frame.Encode() == wire);
    if (const auto beat = THeartbeat::Of(d.Frame)) {
        Require(beat->CodeBytes.size() == 24);
        (void)beat->EquipmentCode();
        (void)beat->EquipmentTypeText();
        RequireRoundTrip(frames::HeartbeatReply(d.Frame));
        RequireRoundTrip(frames::StationNumberChange(d.Frame, d.Frame.SiteNum ^ 0x5E7E));
    }
    for (qsizetype at = 0; const auto item = FrameItemAt(d.Frame.Data, at);) {
        Require(item->Value.size() <= d.Frame.Data.size() - at - 3);
        if (item->Length < 3)
            break;
        at += item->Length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArrayView input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    // The first byte sets the size of the pieces the stream arrives in.
    const qsizetype piece = input.isEmpty() ? 1 : 1 + static_cast<unsigned char>(input[0]) % 64;
    const QByteArrayView stream = input.isEmpty() ? input : input.sliced(1);

    TFrameCutter cutter;
    for (qsizetype at = 0; at < stream.size(); at += piece) {
        cutter.Append(stream.sliced(at, std::min(piece, stream.size() - at)));
        cutter.Cut([](QByteArrayView frame) {
            Require(frame.size() >= TFrameCutter::MinFrameBytes);
            Require(frame.front() == char(0x7E) && frame.back() == char(0x7E));
            Examine(frame, true);
        });
        Require(cutter.Size() <= stream.size());
    }
    // The whole input as one frame, whatever it holds.
    Examine(input, false);
    return 0;
}
