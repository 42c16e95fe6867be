// Unescaping of arbitrary received text, and the escape/unescape round trip
// of frames built from the hex digits found in the input.
#include "FrameCodec.h"
#include "HexText.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QString text =
        QString::fromLatin1(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString unescaped = ReceiveTransFormat(text);
    if (unescaped.size() > text.size())
        std::abort();
    (void)CheckFrame(unescaped);
    (void)HexDelLeft0(text);

    // Content made of the input's hex digits, even count, upper case.
    QString content;
    for (QChar c : text)
        if (HexDigitValue(c) >= 0)
            content += c.toUpper();
    if (content.size() % 2)
        content.chop(1);
    const QString frame = BuildFrame(content);
    QByteArray bytes;
    const QString escaped = SendTransFormatBuf(frame, bytes);
    if (bytes.count(char(0x7E)) != 2 || BytesToHex(bytes) != escaped)
        std::abort();
    const QString back = ReceiveTransFormat(escaped);
    if (back != frame || !CheckFrame(back))
        std::abort();

    QByteArray sink;
    try {
        (void)SendTransFormatBuf(text, sink);
    } catch (const ConvertError &) {
    }
    return 0;
}
