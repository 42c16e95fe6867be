// The PROXY protocol header a load balancer sends first on each connection
// it forwards, telling the connection's real source address and port.
//
// Version 1 is one text line of at most 107 bytes:
//   "PROXY TCP4 <src> <dst> <sport> <dport>\r\n" (TCP6 alike, or
//   "PROXY UNKNOWN ...\r\n", which names no address).
// Version 2 is binary: a 12-byte signature, a version/command byte, a
// family/protocol byte and a 16-bit length of the address block that
// follows (addresses, ports, then optional TLVs, which are skipped).
//
// The parser is fed the connection's bytes as they arrive, in pieces of any
// size, and tells how many of each piece belong to the header: what follows
// is the peer's own first data. It keeps at most MaxBufferedBytes however
// long the header claims to be (TLVs are counted off, not kept), and rejects
// a stream as soon as its first bytes cannot start a header.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QString>

class TProxyHeaderParser {
public:
    enum class State { NeedMore, Done, Invalid };

    // Longest version 1 line, CR LF included.
    static constexpr qsizetype MaxV1Bytes = 107;
    // Fixed part of a version 2 header; its length field adds up to 65535.
    static constexpr qsizetype V2FixedBytes = 16;
    static constexpr qsizetype MaxV2Bytes = V2FixedBytes + 65535;
    // Bytes ever kept: the longer of a version 1 line and a version 2 fixed
    // part with an IPv6 address block.
    static constexpr qsizetype MaxBufferedBytes = MaxV1Bytes;

    // Takes the next bytes of the stream while the header is incomplete and
    // returns how many of them it took: all of them while more is needed,
    // those up to the header's end once it is done (the rest are the peer's
    // data), and nothing once the state is Done or Invalid.
    qsizetype Feed(QByteArrayView bytes);

    State state() const { return state_; }
    // Valid once Done. Local: the header names no address (version 1
    // UNKNOWN, version 2 LOCAL command, UNSPEC or UNIX family), so the
    // connection's own address stands.
    bool Local() const { return local_; }
    const QHostAddress &SourceAddress() const { return address_; }
    quint16 SourcePort() const { return port_; }
    // The whole header's length in bytes.
    qsizetype HeaderLength() const { return length_; }
    // Why the header was refused, for the log.
    const QString &Error() const { return error_; }
    // Bytes kept at the moment (never more than MaxBufferedBytes).
    qsizetype Buffered() const { return buffer_.size(); }

private:
    qsizetype FeedV1(QByteArrayView bytes);
    qsizetype FeedV2(QByteArrayView bytes);
    void ParseV1Line();
    void StartV2Block();
    void ParseV2Addresses();
    void Fail(const QString &why);
    void Finish();

    enum class Version { Unknown, V1, V2 };
    Version version_ = Version::Unknown;
    State state_ = State::NeedMore;
    QByteArray buffer_;      // the line, or the fixed part and the addresses
    qsizetype v2Total_ = -1; // version 2: the header's length once known
    qsizetype v2Keep_ = 0;   // version 2: the bytes of it kept in buffer_
    qsizetype taken_ = 0;    // bytes of the header taken so far
    bool local_ = false;
    QHostAddress address_;
    quint16 port_ = 0;
    qsizetype length_ = 0;
    QString error_;
};
