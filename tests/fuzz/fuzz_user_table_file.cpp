// The account file parser over arbitrary bytes, read in GB18030 (or as a
// byte-order mark says). Whatever the input: no crash, rows as wide as their
// field lists, no more rows than lines, and a parse written back out (where
// it can be) parses to the same blocks.
#include "UserTableFile.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<QString> text = DecodeUserTableFile(bytes, QStringLiteral("GB18030"));
    if (!text)
        std::abort(); // GB18030 is always known
    const auto blocks = ParseUserTableFile(*text);
    if (!blocks)
        return 0;
    qsizetype rows = 0;
    for (const TTableBlock &b : *blocks) {
        rows += static_cast<qsizetype>(b.Rows.size()) + 2;
        for (const QStringList &row : b.Rows)
            if (row.size() != b.Fields.size())
                std::abort();
    }
    if (rows > text->size() + 1)
        std::abort();
    const auto written = EncodeUserTableFile(*blocks, QStringLiteral("UTF-8"));
    if (!written)
        return 0;
    const auto again = ParseUserTableFile(QString::fromUtf8(*written));
    if (!again || again->size() != blocks->size())
        std::abort();
    for (size_t i = 0; i < blocks->size(); ++i) {
        const TTableBlock &a = (*blocks)[i];
        const TTableBlock &b = (*again)[i];
        if (a.TableName != b.TableName || a.Fields != b.Fields || a.Rows != b.Rows)
            std::abort();
    }
    return 0;
}
