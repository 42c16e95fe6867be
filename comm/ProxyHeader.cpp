#include "ProxyHeader.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

constexpr QByteArrayView V1Prefix("PROXY ");
constexpr std::array<char, 12> V2Signature{'\r', '\n', '\r', '\n', '\0', '\r',
                                           '\n', 'Q',  'U',  'I',  'T',  '\n'};

// Address block sizes of the version 2 families: two addresses and two ports.
constexpr qsizetype V2Inet4Bytes = 4 + 4 + 2 + 2;
constexpr qsizetype V2Inet6Bytes = 16 + 16 + 2 + 2;
constexpr qsizetype V2UnixBytes = 108 + 108;

// A decimal port: 0 .. 65535 without leading zeros.
std::optional<quint16> ParsePort(QByteArrayView text) {
    if (text.isEmpty() || text.size() > 5 || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    quint32 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + quint32(c - '0');
    }
    if (value > 65535)
        return std::nullopt;
    return quint16(value);
}

// Dotted-quad IPv4: four decimal parts of 0 .. 255, one to three digits each.
std::optional<QHostAddress> ParseIPv4(QByteArrayView text) {
    quint32 address = 0;
    int parts = 0;
    qsizetype at = 0;
    while (parts < 4) {
        qsizetype end = at;
        quint32 part = 0;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - at < 3) {
            part = part * 10 + quint32(text[end] - '0');
            ++end;
        }
        if (end == at || part > 255)
            return std::nullopt;
        address = (address << 8) | part;
        ++parts;
        if (parts < 4) {
            if (end >= text.size() || text[end] != '.')
                return std::nullopt;
            ++end;
        }
        at = end;
    }
    if (at != text.size())
        return std::nullopt;
    return QHostAddress(address);
}

// IPv6 text as Qt reads it, without a scope.
std::optional<QHostAddress> ParseIPv6(QByteArrayView text) {
    if (text.isEmpty() || !text.contains(':') || text.contains('%'))
        return std::nullopt;
    QHostAddress address;
    if (!address.setAddress(QString::fromLatin1(text)) ||
        address.protocol() != QAbstractSocket::IPv6Protocol)
        return std::nullopt;
    return address;
}

quint16 BigEndian16(const char *p) {
    return quint16((quint16(quint8(p[0])) << 8) | quint8(p[1]));
}

} // namespace

qsizetype TProxyHeaderParser::Feed(QByteArrayView bytes) {
    if (state_ != State::NeedMore || bytes.isEmpty())
        return 0;
    if (version_ == Version::Unknown) {
        if (bytes[0] == V1Prefix[0]) {
            version_ = Version::V1;
        } else if (bytes[0] == V2Signature[0]) {
            version_ = Version::V2;
        } else {
            Fail(QStringLiteral("the connection does not start with a PROXY header"));
            return 0;
        }
    }
    return version_ == Version::V1 ? FeedV1(bytes) : FeedV2(bytes);
}

qsizetype TProxyHeaderParser::FeedV1(QByteArrayView bytes) {
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        const qsizetype at = buffer_.size();
        if (at < V1Prefix.size() && c != V1Prefix[at]) {
            Fail(QStringLiteral("the connection does not start with a PROXY header"));
            return i + 1;
        }
        const bool afterCr = at > 0 && buffer_[at - 1] == '\r';
        buffer_.append(c);
        if (c == '\n') {
            if (!afterCr)
                Fail(QStringLiteral("version 1 line ends without CR LF"));
            else
                ParseV1Line();
            return i + 1;
        }
        if (afterCr) {
            Fail(QStringLiteral("version 1 line has a CR before its end"));
            return i + 1;
        }
        if (c != '\r' && (c < 0x20 || c > 0x7E)) {
            Fail(QStringLiteral("version 1 line holds a byte that is not printable"));
            return i + 1;
        }
        if (buffer_.size() >= MaxV1Bytes) {
            Fail(QStringLiteral("version 1 line longer than %1 bytes").arg(MaxV1Bytes));
            return i + 1;
        }
    }
    return bytes.size();
}

void TProxyHeaderParser::ParseV1Line() {
    taken_ = buffer_.size();
    const QList<QByteArray> fields = buffer_.first(buffer_.size() - 2).split(' ');
    if (fields.size() >= 2 && fields[1] == "UNKNOWN") {
        // The balancer does not know the source: whatever follows is ignored.
        local_ = true;
        Finish();
        return;
    }
    if (fields.size() != 6) {
        Fail(QStringLiteral("version 1 line does not have six fields"));
        return;
    }
    std::optional<QHostAddress> source;
    std::optional<QHostAddress> destination;
    if (fields[1] == "TCP4") {
        source = ParseIPv4(fields[2]);
        destination = ParseIPv4(fields[3]);
    } else if (fields[1] == "TCP6") {
        source = ParseIPv6(fields[2]);
        destination = ParseIPv6(fields[3]);
    } else {
        Fail(QStringLiteral("version 1 line names an unknown protocol"));
        return;
    }
    const std::optional<quint16> sourcePort = ParsePort(fields[4]);
    const std::optional<quint16> destinationPort = ParsePort(fields[5]);
    if (!source || !destination) {
        Fail(QStringLiteral("version 1 line holds a malformed address"));
        return;
    }
    if (!sourcePort || !destinationPort) {
        Fail(QStringLiteral("version 1 line holds a malformed port"));
        return;
    }
    address_ = *source;
    port_ = *sourcePort;
    Finish();
}

qsizetype TProxyHeaderParser::FeedV2(QByteArrayView bytes) {
    qsizetype i = 0;
    while (state_ == State::NeedMore && i < bytes.size()) {
        if (taken_ < V2FixedBytes) {
            const char c = bytes[i++];
            buffer_.append(c);
            ++taken_;
            if (taken_ <= qsizetype(V2Signature.size())) {
                if (c != V2Signature[std::size_t(taken_ - 1)])
                    Fail(QStringLiteral("the connection does not start with a PROXY header"));
            } else if (taken_ == V2FixedBytes) {
                StartV2Block();
            }
        } else if (taken_ < v2Keep_) {
            const qsizetype n = std::min(bytes.size() - i, v2Keep_ - taken_);
            buffer_.append(bytes.sliced(i, n));
            i += n;
            taken_ += n;
            if (taken_ == v2Keep_)
                ParseV2Addresses();
        } else {
            // TLVs and whatever else the block holds: counted off, not kept.
            const qsizetype n = std::min(bytes.size() - i, v2Total_ - taken_);
            i += n;
            taken_ += n;
        }
        if (state_ == State::NeedMore && taken_ >= V2FixedBytes && taken_ == v2Total_)
            Finish();
    }
    return i;
}

void TProxyHeaderParser::StartV2Block() {
    const auto versionCommand = quint8(buffer_[12]);
    const auto family = quint8(buffer_[13]);
    const qsizetype length = BigEndian16(buffer_.constData() + 14);
    if (versionCommand >> 4 != 2) {
        Fail(QStringLiteral("version 2 header of an unknown version"));
        return;
    }
    const int command = versionCommand & 0x0F;
    qsizetype needed = 0;
    if (command == 0) {
        // LOCAL: the balancer's own connection (a health check); the block,
        // family included, is ignored.
        local_ = true;
    } else if (command == 1) {
        switch (family) {
        case 0x00: // UNSPEC
            local_ = true;
            break;
        case 0x11: // TCP over IPv4
        case 0x12: // UDP over IPv4
            needed = V2Inet4Bytes;
            break;
        case 0x21: // TCP over IPv6
        case 0x22: // UDP over IPv6
            needed = V2Inet6Bytes;
            break;
        case 0x31: // UNIX stream
        case 0x32: // UNIX datagram
            // No IP address to show: the connection's own address stands.
            local_ = true;
            if (length < V2UnixBytes) {
                Fail(QStringLiteral("version 2 address block shorter than its family needs"));
                return;
            }
            break;
        default:
            Fail(QStringLiteral("version 2 header of an unknown family"));
            return;
        }
    } else {
        Fail(QStringLiteral("version 2 header of an unknown command"));
        return;
    }
    if (length < needed) {
        Fail(QStringLiteral("version 2 address block shorter than its family needs"));
        return;
    }
    v2Total_ = V2FixedBytes + length;
    v2Keep_ = V2FixedBytes + needed;
}

void TProxyHeaderParser::ParseV2Addresses() {
    const char *block = buffer_.constData() + V2FixedBytes;
    const qsizetype kept = buffer_.size() - V2FixedBytes;
    if (kept == V2Inet4Bytes) {
        const quint32 v4 = (quint32(quint8(block[0])) << 24) | (quint32(quint8(block[1])) << 16) |
                           (quint32(quint8(block[2])) << 8) | quint32(quint8(block[3]));
        address_ = QHostAddress(v4);
        port_ = BigEndian16(block + 8);
    } else if (kept == V2Inet6Bytes) {
        address_ = QHostAddress(reinterpret_cast<const quint8 *>(block));
        port_ = BigEndian16(block + 32);
    }
}

void TProxyHeaderParser::Fail(const QString &why) {
    state_ = State::Invalid;
    error_ = why;
    buffer_ = QByteArray();
}

void TProxyHeaderParser::Finish() {
    state_ = State::Done;
    length_ = taken_;
    buffer_ = QByteArray();
}
