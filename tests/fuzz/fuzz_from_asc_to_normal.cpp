// Value conversion of arbitrary raw and display texts with every data type
// code and unit code, in both directions.
#include "FuzzDictionary.h"
#include "PublicU.h"
#include "ValueConversion.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzdict::Load();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    // First byte: length for encoding and date layout; second: parameter
    // code, unit code and decimals. Every data type code runs on each input.
    const int len = data[0] % 12;
    static const QString layouts[] = {QStringLiteral("yyyy-MM-dd"), QStringLiteral("yyyy/M/d"),
                                      QStringLiteral("dd-MMM-yy"), QStringLiteral("M/d/yy")};
    sysShortDate = layouts[data[0] % 4];
    const QString code = (data[1] & 1) ? QStringLiteral("3101") : QStringLiteral("0000");
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data + 2),
                                             static_cast<qsizetype>(size - 2));
    const QString &unit = fuzzdict::kUnits[(data[1] >> 1) % fuzzdict::kUnits.size()];
    for (int type : fuzzdict::kDataTypes) {
        try {
            (void)FromAscToNormal(code, text, type, unit);
        } catch (const ConvertError &) {
        }
        try {
            (void)FromNormalToASC(code, text, type, len, unit);
        } catch (const ConvertError &) {
        }
    }
    try {
        (void)HexToFloat(text, data[1] >> 5);
    } catch (const ConvertError &) {
    }
    (void)StrConversionDate(text);
    return 0;
}
