// Writes PNG pictures of the user table window (a suspended account in red,
// two super users, one logged in), the packet resolver with a frame analysed
// and the data-unit resolver with its grid, into the folder given as the
// first argument. The windows are filled from a scratch SQLite database and a
// small dictionary; nothing else is touched.
#include "FrameCodec.h"
#include "MapDataResolveF.h"
#include "NetD.h"
#include "OperatorService.h"
#include "ParamDictionary.h"
#include "PublicU.h"
#include "ResolveF.h"
#include "SchemaInstaller.h"
#include "UserTableF.h"

#include <QApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

namespace {

bool Save(QWidget &w, const QString &file) {
    QApplication::processEvents();
    const bool ok = w.grab().save(file);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", file.toLocal8Bit().constData());
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: usertable-shots OUTPUT_DIR\n", stderr);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(out.path());
    sysShortDate = QStringLiteral("yyyy-MM-dd");

    QTemporaryDir scratch;
    DbTarget target;
    target.type = 1;
    target.driver = QStringLiteral("QSQLITE");
    target.databaseName = scratch.filePath(QStringLiteral("MonitorData.db"));
    TdmNet db(target);
    {
        TdmNet::Session session(db);
        InstallSchema(session.Connection(), 1, false);
    }
    const char *insert = "insert into UserRegister (UserName,UserPassword,Email,UserPhone,"
                         "RegisterTime,LoginTime,UseState) values (?,?,?,?,?,?,?)";
    const QVariantList users[] = {
        {"zhangwei", "zw2024", "zhangwei@example.cn", "13800000001", "2024-03-05 08:09:10",
         "2024-06-01 17:45:02", 0},
        {QStringLiteral("李娜工作站"), "ln-8841", "lina@example.cn", "13800000002",
         "2024-03-06 09:30:00", "2024-06-02 08:01:44", 0},
        {"fieldteam3", "ft3-pass", "team3@example.cn", "13800000003", "2024-04-11 14:12:55",
         "2024-05-20 10:00:00", 1},
        {"stationb7", "b7b7b7", "b7@example.cn", "13800000004", "2024-04-12 10:00:00", "", 0},
        {"admin01", "admin-pass1", "@", "000", "2024-01-02 08:00:00", "2024-06-02 07:59:00", 6},
        {"admin02", "admin-pass2", "@", "000", "2024-01-02 08:05:00", "2024-05-30 18:20:11", 6},
    };
    for (const QVariantList &u : users)
        db.Exec(QString::fromLatin1(insert), u);

    lstMapCommFlag = {QStringLiteral("01#&Alarm Report"), QStringLiteral("02#&Query"),
                      QStringLiteral("03#&Set")};
    lstResponseFlag = {QStringLiteral("00#&Success")};
    lstUnitNameParam = {QStringLiteral("00#&"), QStringLiteral("05#&dBm")};
    lstParamProperty = {QStringLiteral("1200011#0101&Power Switch"),
                        QStringLiteral("1105011#0205&Output Level"),
                        QStringLiteral("21000018#0022&Station Code")};

    int failures = 0;
    TOperatorLinks links;
    links.CheckClientExist = [](const QString &name) { return name == QLatin1String("admin01"); };
    TCheckDelData checkDelData(db, nullptr);
    TOperatorService service(db, checkDelData, links, QStringLiteral("GB18030"));
    TfrmUserTable userTable(service);
    userTable.show();
    failures += !Save(userTable, out.filePath(QStringLiteral("usertable.png")));
    userTable.hide();

    TfrmResolve resolve;
    const QString frame =
        BuildFrame(QStringLiteral("03010100000005020000010200") + QStringLiteral("04010101") +
                   QStringLiteral("0405020A") + QStringLiteral("0A220041423132333435"));
    resolve.mmoResolvePack->setPlainText(frame);
    resolve.show();
    resolve.btnResolvePack->click();
    // The check unit opened and selected: its bytes are marked in the input.
    QTreeWidgetItem *check = resolve.TreeView->topLevelItem(0)->child(4);
    check->setExpanded(true);
    resolve.TreeView->setCurrentItem(check);
    failures += !Save(resolve, out.filePath(QStringLiteral("resolver.png")));

    TfrmMapDataResolve &map = *resolve.frmMapDataResolve;
    map.show();
    map.mmoMapPack->setPlainText(resolve.MapPackageStr);
    map.TeThemeButton1Click();
    failures += !Save(map, out.filePath(QStringLiteral("databody.png")));
    return failures ? 1 : 0;
}
