// Codec throughput at frame sizes 17, 256 and 2049 bytes (unescaped): CRC,
// escaping, unescaping, and the full parse of a frame with every data item
// converted through a dictionary of a realistic size. Figures are bytes of
// unescaped frame per second, so linear code shows the same rate at every size.
#include "FrameCodec.h"
#include "PackRecord.h"
#include "ParamDictionary.h"

#include <benchmark/benchmark.h>

#include <QString>

#include <stdexcept>

namespace {

QString Hex2(int v) {
    return QStringLiteral("%1").arg(v & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

// A dictionary of 240 parameters; the items of the frames use a handful of
// them spread over the list.
void LoadDictionary() {
    lstParamProperty.clear();
    const int types[] = {0x21, 0x14, 0x03, 0x71, 0x10, 0x23, 0x16, 0x01};
    for (int i = 0; i < 240; ++i) {
        const int type = types[i % 8];
        const QString unit = type == 0x14 ? QStringLiteral("61") : QStringLiteral("00");
        const QString code =
            QStringLiteral("%1").arg(0x0100 + i, 4, 16, QLatin1Char('0')).toUpper();
        lstParamProperty.append(Hex2(type) + unit + QStringLiteral("014#") + code +
                                QStringLiteral("P&Parameter ") + code);
    }
    lstProportionalNameParam = {QStringLiteral("61#10")};
    lstUnitNameParam = {QStringLiteral("61#TenthdBm&dBm")};
    lstMapCommFlag = {QStringLiteral("01#Report&Alarm Report"), QStringLiteral("02#Query&Query"),
                      QStringLiteral("03#Set&Set")};
    lstResponseFlag = {QStringLiteral("00#Success&Success")};
}

// Wire hex of one item for dictionary parameter index i (its type is types[i % 8]).
QString Item(int i) {
    const int code = 0x0100 + i;
    QString value;
    switch (i % 8) {
    case 0:
        value = QStringLiteral("5265706561746572204D6F64656C2020");
        break; // text, 16 bytes
    case 1:
        value = QStringLiteral("EB03");
        break; // 100.3
    case 2:
        value = QStringLiteral("01");
        break;
    case 3:
        value = QStringLiteral("0000C03F");
        break; // 1.5
    case 4:
        value = QStringLiteral("7E5E1409");
        break; // needs escaping
    case 5:
        value = QStringLiteral("C0A80001");
        break;
    case 6:
        value = QStringLiteral("FEFF");
        break;
    default:
        value = QStringLiteral("00");
        break;
    }
    return Hex2(3 + value.size() / 2) + Hex2(code & 0xFF) + Hex2(code >> 8) + value;
}

// Unescaped frame text of exactly `bytes` bytes (at least 17).
QString MakeFrame(int bytes) {
    QString items;
    int room = bytes - 17;
    for (int i = 0;; i = (i + 13) % 240) {
        const QString item = Item(i);
        if (item.size() / 2 > room - 3 && item.size() / 2 != room)
            break;
        items += item;
        room -= item.size() / 2;
    }
    if (room >= 3) { // fill up with one raw item of an unknown code
        items += Hex2(room) + QStringLiteral("FFFF") + QString(2 * (room - 3), QLatin1Char('7'));
        room = 0;
    }
    // A remainder of 1 or 2 bytes would not be an item: widen the first item's value instead.
    if (room != 0)
        throw std::logic_error("frame size not reachable");
    const QString content = QStringLiteral("03010101000005") + QStringLiteral("0100") +
                            QStringLiteral("80010200") + items;
    const QString frame = BuildFrame(content);
    if (frame.size() != 2 * bytes)
        throw std::logic_error("frame size mismatch");
    return frame;
}

void BM_GetCRC16(benchmark::State &state) {
    const int bytes = static_cast<int>(state.range(0));
    const QString frame = MakeFrame(bytes);
    const QStringView content = QStringView(frame).sliced(2, frame.size() - 8);
    for (auto _ : state)
        benchmark::DoNotOptimize(GetCRC16(content));
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_SendTransFormatBuf(benchmark::State &state) {
    const int bytes = static_cast<int>(state.range(0));
    const QString frame = MakeFrame(bytes);
    QByteArray buf;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SendTransFormatBuf(frame, buf));
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_ReceiveTransFormat(benchmark::State &state) {
    const int bytes = static_cast<int>(state.range(0));
    QByteArray buf;
    const QString escaped = SendTransFormatBuf(MakeFrame(bytes), buf);
    for (auto _ : state)
        benchmark::DoNotOptimize(ReceiveTransFormat(escaped));
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_ResolveFrame(benchmark::State &state) {
    LoadDictionary();
    const int bytes = static_cast<int>(state.range(0));
    const QString frame = MakeFrame(bytes);
    size_t items = 0;
    for (auto _ : state) {
        const TOnePackRecord record = ResolveOnePackRecord(frame);
        const TCommPackList list = ResolveCommPack(record.ObjStr);
        items = list.size();
        benchmark::DoNotOptimize(list.data());
    }
    state.counters["items"] = static_cast<double>(items);
    state.SetBytesProcessed(state.iterations() * bytes);
}

} // namespace

BENCHMARK(BM_GetCRC16)->Arg(17)->Arg(256)->Arg(2049);
BENCHMARK(BM_SendTransFormatBuf)->Arg(17)->Arg(256)->Arg(2049);
BENCHMARK(BM_ReceiveTransFormat)->Arg(17)->Arg(256)->Arg(2049);
BENCHMARK(BM_ResolveFrame)->Arg(17)->Arg(256)->Arg(2049);

BENCHMARK_MAIN();
