// The PROXY protocol header parser: tables of version 1 and version 2
// headers, good and bad, each fed whole, byte by byte and split in two at
// every byte, with the peer's first data behind it.
#include "Peer.h"
#include "ProxyHeader.h"

#include <QByteArray>
#include <QList>

#include <gtest/gtest.h>

#include <string>

namespace {

using State = TProxyHeaderParser::State;

const QByteArray V2Signature("\r\n\r\n\0\r\nQUIT\n", 12);
// What the peer sends behind the header: an equipment frame's start.
const QByteArray PeerData = QByteArray::fromHex("7E0301A0");

QByteArray Be16(int v) {
    QByteArray out;
    out.append(char((v >> 8) & 0xFF));
    out.append(char(v & 0xFF));
    return out;
}

// A version 2 header: version/command byte, family byte and block; the
// length is the block's unless given.
QByteArray V2(int versionCommand, int family, const QByteArray &block, int length = -1) {
    return V2Signature + char(versionCommand) + char(family) +
           Be16(length < 0 ? int(block.size()) : length) + block;
}

QByteArray Inet4Block(const char *source, int sourcePort, const char *destination = "0A000001",
                      int destinationPort = 5210) {
    return QByteArray::fromHex(source) + QByteArray::fromHex(destination) + Be16(sourcePort) +
           Be16(destinationPort);
}

QByteArray Inet6Block(const char *source, int sourcePort) {
    return QByteArray::fromHex(source) + QByteArray::fromHex("20010DB8000000000000000000000001") +
           Be16(sourcePort) + Be16(5210);
}

// What a whole feed came to.
struct Outcome {
    State state = State::NeedMore;
    bool local = false;
    QString address; // as the server shows it
    int port = 0;
    qsizetype length = 0;
    QByteArray after; // the bytes the parser did not take
    bool operator==(const Outcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    return os << "state " << int(o.state) << " local " << o.local << " " << o.address.toStdString()
              << ":" << o.port << " length " << o.length << " after "
              << o.after.toHex().toStdString();
}

// Feeds the pieces in order, as a connection's reads would come. The
// parser never keeps more than its bound, and once it is done or has
// refused, it takes nothing more.
Outcome Feed(const QList<QByteArray> &pieces) {
    TProxyHeaderParser parser;
    Outcome o;
    for (const QByteArray &piece : pieces) {
        const qsizetype taken = parser.Feed(piece);
        EXPECT_LE(parser.Buffered(), TProxyHeaderParser::MaxBufferedBytes);
        if (parser.state() == State::Done) {
            o.after += piece.mid(taken);
        } else {
            EXPECT_TRUE(parser.state() == State::Invalid || taken == piece.size());
        }
    }
    o.state = parser.state();
    if (o.state == State::Done) {
        o.local = parser.Local();
        if (!o.local) {
            o.address = PeerAddressText(parser.SourceAddress());
            o.port = parser.SourcePort();
        }
        o.length = parser.HeaderLength();
        EXPECT_EQ(parser.Feed("more"), 0);
    } else {
        o.after.clear();
    }
    if (o.state == State::Invalid) {
        EXPECT_FALSE(parser.Error().isEmpty());
    }
    return o;
}

struct HeaderCase {
    const char *name;
    QByteArray header;
    State state;
    bool local = false;
    QString address;
    int port = 0;
};

HeaderCase Names(const char *name, QByteArray header, QString address, int port) {
    return {name, std::move(header), State::Done, false, std::move(address), port};
}
HeaderCase NamesNone(const char *name, QByteArray header) {
    return {name, std::move(header), State::Done, true, QString(), 0};
}
HeaderCase Refused(const char *name, QByteArray header) {
    return {name, std::move(header), State::Invalid, false, QString(), 0};
}
HeaderCase Unfinished(const char *name, QByteArray header) {
    return {name, std::move(header), State::NeedMore, false, QString(), 0};
}

void PrintTo(const HeaderCase &c, std::ostream *os) {
    *os << c.name;
}

class ProxyHeaderTable : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ProxyHeaderTable, GivesTheSameOutcomeHoweverTheBytesArrive) {
    const HeaderCase &c = GetParam();
    const QByteArray stream = c.header + PeerData;
    Outcome expected;
    expected.state = c.state;
    if (c.state == State::Done) {
        expected.local = c.local;
        expected.address = c.address;
        expected.port = c.port;
        expected.length = c.header.size();
        expected.after = PeerData;
    }
    // A header cut short waits for more: the peer data is not sent then.
    const QByteArray sent = c.state == State::NeedMore ? c.header : stream;

    EXPECT_EQ(Feed({sent}), expected) << "whole";
    QList<QByteArray> bytes;
    for (const char b : sent)
        bytes.append(QByteArray(1, b));
    EXPECT_EQ(Feed(bytes), expected) << "byte by byte";
    for (qsizetype at = 1; at < sent.size(); ++at)
        EXPECT_EQ(Feed({sent.first(at), sent.sliced(at)}), expected) << "split at " << at;
}

const QByteArray LongUnknown =
    "PROXY UNKNOWN " + QByteArray(TProxyHeaderParser::MaxV1Bytes - 16, 'x') + "\r\n";

std::string CaseName(const ::testing::TestParamInfo<HeaderCase> &info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    V1, ProxyHeaderTable,
    ::testing::Values(
        Names("Tcp4", "PROXY TCP4 192.0.2.10 10.0.0.1 40312 5210\r\n", "192.0.2.10", 40312),
        Names("Tcp4PortsAtTheirBounds", "PROXY TCP4 255.255.255.255 0.0.0.0 0 65535\r\n",
              "255.255.255.255", 0),
        Names("Tcp6", "PROXY TCP6 2001:db8::7 2001:db8::1 40312 5210\r\n", "2001:db8::7", 40312),
        Names("Tcp6MappedIPv4ShownDotted",
              "PROXY TCP6 ::ffff:198.51.100.7 ::ffff:10.0.0.1 5555 5212\r\n", "198.51.100.7", 5555),
        NamesNone("Unknown", "PROXY UNKNOWN\r\n"),
        NamesNone("UnknownWithAddresses", "PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n"),
        NamesNone("UnknownOfTheLongestLength", LongUnknown),
        Refused("OneByteTooLong", "PROXY UNKNOWN " + QByteArray(92, 'x') + "\r\n"),
        Refused("NoEndWithinTheLongestLength", "PROXY UNKNOWN " + QByteArray(200, 'x')),
        Unfinished("CutShort", "PROXY TCP4 192.0.2.10 10.0.0.1 403"),
        Refused("LineFeedWithoutCarriageReturn", "PROXY TCP4 192.0.2.10 10.0.0.1 1 2\n"),
        Refused("CarriageReturnInside", "PROXY TCP4 192.0.2.10 10.0.0.1 1 2\r\r\n"),
        Refused("ControlByteInside", "PROXY TCP4 192.0.2.10\t10.0.0.1 1 2\r\n"),
        Refused("LowerCaseSignature", "proxy TCP4 192.0.2.10 10.0.0.1 1 2\r\n"),
        Refused("NoSpaceAfterProxy", "PROXY\r\n"),
        Refused("UnknownProtocol", "PROXY UDP4 192.0.2.10 10.0.0.1 1 2\r\n"),
        Refused("DoubleSpace", "PROXY TCP4  192.0.2.10 10.0.0.1 1 2\r\n"),
        Refused("MissingPort", "PROXY TCP4 192.0.2.10 10.0.0.1 1\r\n"),
        Refused("AddressPartAbove255", "PROXY TCP4 192.0.2.256 10.0.0.1 1 2\r\n"),
        Refused("ThreePartAddress", "PROXY TCP4 192.0.2 10.0.0.1 1 2\r\n"),
        Refused("BadDestination", "PROXY TCP4 192.0.2.1 10.0.0.x 1 2\r\n"),
        Refused("IPv6UnderTcp4", "PROXY TCP4 2001:db8::7 10.0.0.1 1 2\r\n"),
        Refused("IPv4UnderTcp6", "PROXY TCP6 192.0.2.10 2001:db8::1 1 2\r\n"),
        Refused("ScopedIPv6", "PROXY TCP6 fe80::1%eth0 2001:db8::1 1 2\r\n"),
        Refused("PortAbove65535", "PROXY TCP4 192.0.2.10 10.0.0.1 65536 2\r\n"),
        Refused("PortWithLeadingZero", "PROXY TCP4 192.0.2.10 10.0.0.1 080 2\r\n"),
        Refused("NegativePort", "PROXY TCP4 192.0.2.10 10.0.0.1 -1 2\r\n"),
        // What a unit or a client sends when nobody put a header in front.
        Refused("EquipmentFrame", QByteArray::fromHex("7E0301A0B1C27E")),
        Refused("ClientLogin", "*0000bob*")),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    V2, ProxyHeaderTable,
    ::testing::Values(
        Names("TcpOverIPv4", V2(0x21, 0x11, Inet4Block("C000020A", 40312)), "192.0.2.10", 40312),
        Names("UdpOverIPv4", V2(0x21, 0x12, Inet4Block("C000020A", 1)), "192.0.2.10", 1),
        Names("TcpOverIPv6", V2(0x21, 0x21, Inet6Block("20010DB8000000000000000000000007", 65535)),
              "2001:db8::7", 65535),
        Names("MappedIPv4OverIPv6",
              V2(0x21, 0x21, Inet6Block("00000000000000000000FFFFC6336407", 5555)), "198.51.100.7",
              5555),
        // TLVs after the addresses (ALPN, authority, a NOOP) are skipped.
        Names("TlvsSkipped",
              V2(0x21, 0x11,
                 Inet4Block("C000020A", 40312) + QByteArray::fromHex("010002683204000474657374") +
                     QByteArray::fromHex("0400030A0B0C")),
              "192.0.2.10", 40312),
        Names("LongestBlockSkipped",
              V2(0x21, 0x11, Inet4Block("C000020A", 40312) + QByteArray(65535 - 12, '\x04')),
              "192.0.2.10", 40312),
        NamesNone("Local", V2(0x20, 0x00, {})),
        // A balancer's own check: the addresses it carries are ignored.
        NamesNone("LocalWithAddresses", V2(0x20, 0x11, Inet4Block("C000020A", 1))),
        NamesNone("LocalOfAnUnknownFamily", V2(0x20, 0x77, QByteArray(3, 'x'))),
        NamesNone("ProxyUnspec", V2(0x21, 0x00, QByteArray(5, 'x'))),
        NamesNone("ProxyUnix", V2(0x21, 0x31, QByteArray(216, '/'))),
        Unfinished("CutShortInTheSignature", V2Signature.first(7)),
        Unfinished("CutShortInTheAddresses", V2(0x21, 0x11, Inet4Block("C000020A", 1)).first(22)),
        Unfinished("CutShortInTheTlvs",
                   V2(0x21, 0x11, Inet4Block("C000020A", 1) + QByteArray(10, 'x'), 30)),
        Refused("WrongSignatureByte", "\r\n\r\n\1\r\nQUIT\n" + QByteArray(4, '\0')),
        Refused("Version1Nibble", V2(0x11, 0x11, Inet4Block("C000020A", 1))),
        Refused("Version3Nibble", V2(0x31, 0x11, Inet4Block("C000020A", 1))),
        Refused("UnknownCommand", V2(0x22, 0x11, Inet4Block("C000020A", 1))),
        Refused("UnknownFamily", V2(0x21, 0x41, Inet4Block("C000020A", 1))),
        Refused("UnknownTransport", V2(0x21, 0x13, Inet4Block("C000020A", 1))),
        Refused("IPv4BlockTooShort", V2(0x21, 0x11, Inet4Block("C000020A", 1).first(11))),
        Refused("IPv6BlockTooShort",
                V2(0x21, 0x21, Inet6Block("20010DB8000000000000000000000007", 1).first(35))),
        Refused("UnixBlockTooShort", V2(0x21, 0x31, QByteArray(215, '/')))),
    CaseName);

// The longest version 2 header the length field allows, fed in the pieces a
// socket would give: the parser keeps only the addresses however long the
// block, and every byte after it is the peer's.
TEST(ProxyHeader, LongestVersion2HeaderIsCountedOffNotKept) {
    const QByteArray header =
        V2(0x21, 0x11, Inet4Block("C000020A", 40312) + QByteArray(65535 - 12, 'T'));
    ASSERT_EQ(header.size(), TProxyHeaderParser::MaxV2Bytes);
    const QByteArray stream = header + PeerData;
    TProxyHeaderParser parser;
    qsizetype at = 0;
    while (at < stream.size() && parser.state() == State::NeedMore) {
        const QByteArray piece = stream.mid(at, 4096);
        at += parser.Feed(piece);
        EXPECT_LE(parser.Buffered(), TProxyHeaderParser::MaxBufferedBytes);
    }
    ASSERT_EQ(parser.state(), State::Done);
    EXPECT_EQ(parser.HeaderLength(), header.size());
    EXPECT_EQ(stream.mid(at), PeerData);
    EXPECT_EQ(PeerAddressText(parser.SourceAddress()), "192.0.2.10");
}

} // namespace
