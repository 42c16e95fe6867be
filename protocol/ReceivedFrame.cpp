#include "ReceivedFrame.h"

#include "FrameCodec.h"

namespace {

void ResolveRecord(TReceivedFrame &f) {
    try {
        TOnePackRecord rec = ResolveOnePackRecord(f.TrulyPackage);
        if (!rec.StartFlag.isEmpty())
            f.Record = std::move(rec);
    } catch (const ConvertError &) {
        // Too short to hold every field: no record.
    }
}

} // namespace

qsizetype TReceivedFrame::Chars() const {
    qsizetype n = SourcePackage.size() + TrulyPackage.size();
    if (Record)
        n += Record->NetDataStr.size() + Record->MapDataStr.size() + Record->ObjStr.size();
    return n;
}

TReceivedFrame ResolveReceivedFrame(QByteArrayView bytes) {
    TReceivedFrame f;
    f.SourcePackage = BytesToHex(bytes);
    f.TrulyPackage = ReceiveTransFormat(f.SourcePackage);
    f.CheckOk = CheckFrame(f.TrulyPackage);
    ResolveRecord(f);
    return f;
}

TReceivedFrame ResolveReceivedFrame(QByteArrayView bytes, const TDecodedFrame &decoded) {
    if (decoded.Fault == TFrameFault::Oversize)
        return ResolveReceivedFrame(bytes); // not unescaped by the decoder
    TReceivedFrame f;
    f.SourcePackage = BytesToHex(bytes);
    f.TrulyPackage = BytesToHex(decoded.Plain);
    f.CheckOk = decoded.CheckOk;
    ResolveRecord(f);
    return f;
}
