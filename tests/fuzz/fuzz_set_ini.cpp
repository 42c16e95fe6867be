// Set.ini read from arbitrary bytes: every lookup answers, and a value
// written back reads as written after a save and a reload, whatever else the
// file holds.
#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Set.ini"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }
    IniFile ini(path);
    ini.Load();
    for (const char *key : {"DeviceConnectPort", "DataBasePort", "ClientConnectPort", "CodePage"}) {
        (void)ini.Value(QStringLiteral("Set"), QLatin1String(key));
        (void)ini.IntValue(QStringLiteral("Set"), QLatin1String(key), 5210);
    }
    (void)ini.Value(QStringLiteral("Database"), QStringLiteral("Driver"));

    ini.SetValue(QStringLiteral("Set"), QStringLiteral("DeviceConnectPort"),
                 QStringLiteral("5210"));
    if (!ini.Save())
        return 0;
    IniFile again(path);
    again.Load();
    if (again.Value(QStringLiteral("Set"), QStringLiteral("DeviceConnectPort")) !=
        std::optional<QString>(QStringLiteral("5210")))
        std::abort();
    if (again.IntValue(QStringLiteral("Set"), QStringLiteral("DeviceConnectPort"), 0) != 5210)
        std::abort();
    return 0;
}
