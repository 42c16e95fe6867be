// Frame parsing of arbitrary text, unescaped or not, down to the data items.
#include "FrameCodec.h"
#include "FuzzDictionary.h"
#include "PackRecord.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzdict::Load();
    return 0;
}

namespace {

void Parse(const QString &text) {
    try {
        const TOnePackRecord r = ResolveOnePackRecord(text);
        (void)GetResponseFlag(r.ResponseFlag);
        try {
            (void)GetNpEachFlag(r.NPEachFlag);
        } catch (const ConvertError &) {
        }
        const TCommPackList items = ResolveCommPack(r.ObjStr);
        (void)items;
    } catch (const ConvertError &) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QString text =
        QString::fromLatin1(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    Parse(text);
    Parse(ReceiveTransFormat(text));
    // The same text behind a start flag, so the fixed-position cuts are reached.
    Parse(QStringLiteral("7E") + text);
    return 0;
}
