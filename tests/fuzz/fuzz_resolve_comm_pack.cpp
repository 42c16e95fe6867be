// Data item lists of arbitrary text, converted through the fixed dictionary.
#include "FuzzDictionary.h"
#include "PackRecord.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzdict::Load();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QString text =
        QString::fromLatin1(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const TCommPackList items = ResolveCommPack(text);
    qsizetype covered = 0;
    for (const TCommPackInfo &item : items) {
        covered += item.Body.Value.size();
    }
    // Items never overlap or reach past the input.
    if (covered > text.size())
        std::abort();
    return 0;
}
