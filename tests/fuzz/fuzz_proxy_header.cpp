// A connection's first bytes read as a PROXY protocol header, in pieces of
// any size: no input crashes the parser, it never keeps more than its bound,
// it takes every byte while it needs more and none once it is done, and
// reading in pieces gives what reading in one go gives.
#include "ProxyHeader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

struct Outcome {
    TProxyHeaderParser::State state;
    bool local = false;
    QHostAddress address;
    quint16 port = 0;
    qsizetype length = 0;
    qsizetype taken = 0; // bytes of the stream the parser took
};

Outcome Read(QByteArrayView stream, qsizetype piece) {
    TProxyHeaderParser parser;
    qsizetype taken = 0;
    for (qsizetype at = 0; at < stream.size(); at += piece) {
        const QByteArrayView part = stream.sliced(at, std::min(piece, stream.size() - at));
        const bool needed = parser.state() == TProxyHeaderParser::State::NeedMore;
        const qsizetype n = parser.Feed(part);
        if (n < 0 || n > part.size() || (!needed && n != 0))
            std::abort();
        if (parser.state() == TProxyHeaderParser::State::NeedMore && n != part.size())
            std::abort();
        if (parser.Buffered() > TProxyHeaderParser::MaxBufferedBytes)
            std::abort();
        taken += n;
    }
    Outcome o{parser.state()};
    if (o.state == TProxyHeaderParser::State::Done) {
        o.local = parser.Local();
        o.address = parser.SourceAddress();
        o.port = parser.SourcePort();
        o.length = parser.HeaderLength();
        o.taken = taken;
        if (o.length != taken || o.length > TProxyHeaderParser::MaxV2Bytes)
            std::abort();
    }
    return o;
}

bool Same(const Outcome &a, const Outcome &b) {
    return a.state == b.state && a.local == b.local && a.address == b.address && a.port == b.port &&
           a.length == b.length && a.taken == b.taken;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte chooses the piece size; the rest is the stream.
    const qsizetype piece = 1 + data[0] % 32;
    const QByteArrayView stream(reinterpret_cast<const char *>(data) + 1,
                                static_cast<qsizetype>(size - 1));
    if (!Same(Read(stream, piece), Read(stream, stream.size() + 1)))
        std::abort();
    return 0;
}
