// Export and import of the account tables on SQLite and PostgreSQL: the bytes
// of the file against a fixture written by hand in GB18030, the round trip,
// and failing imports that leave both tables as they were.
#include "PublicU.h"
#include "StoreTestDb.h"
#include "UserEquipmentTable.h"
#include "UserRegisterTable.h"
#include "UserTableTransfer.h"

#include <QFile>

namespace {

using storetest::BothKinds;

// The file of the rows Seed() writes: names with Chinese characters (GB18030
// bytes D6D0 CEC4 D3C3 BBA7 and BBFA B7BF), a login at exactly midnight
// written as the date alone, NULLs as empty values.
const QByteArray kFixture = "Table:UserRegister#@2\r\n"
                            "Field:UserName#@UserPassword#@Email#@UserPhone#@RegisterTime#@"
                            "LoginTime#@UseState#@\r\n"
                            "ContentValue:\xD6\xD0\xCE\xC4\xD3\xC3\xBB\xA7#@secret1#@a@b.cn#@123#@"
                            "2024-03-05 08:09:10#@2024-03-06#@1#@\r\n"
                            "ContentValue:admin01#@pass01#@@#@000#@2024-03-05 08:09:10#@#@6#@\r\n"
                            "Table:UserEquipment#@1\r\n"
                            "Field:UserName#@EquipmentCode#@EquipmentName#@EquipmentType#@\r\n"
                            "ContentValue:\xD6\xD0\xCE\xC4\xD3\xC3\xBB\xA7#@A001#@\xBB\xFA\xB7\xBF"
                            "#@#@\r\n";

class UserTableTransferTest : public BothKinds {
protected:
    void SetUp() override {
        BothKinds::SetUp();
        savedShortDate_ = sysShortDate;
        sysShortDate = QStringLiteral("yyyy-MM-dd");
    }
    void TearDown() override {
        sysShortDate = savedShortDate_;
        BothKinds::TearDown();
    }
    QDateTime At(const char *text) {
        return QDateTime::fromString(QString::fromLatin1(text), "yyyy-MM-dd HH:mm:ss");
    }
    void Seed() {
        Net().Exec("insert into UserRegister (UserName,UserPassword,Email,UserPhone,RegisterTime,"
                   "LoginTime,UseState) values (?,?,?,?,?,?,?)",
                   {QStringLiteral("中文用户"), "secret1", "a@b.cn", "123",
                    Dialect().DateTimeValue(At("2024-03-05 08:09:10")),
                    Dialect().DateTimeValue(At("2024-03-06 00:00:00")), 1});
        TUserRegisterTable(Net()).AddSuperUser("admin01", "pass01", At("2024-03-05 08:09:10"));
        Net().Exec("update UserRegister set LoginTime=null where UserName='admin01'");
        Net().Exec(
            "insert into UserEquipment (UserName,EquipmentCode,EquipmentName) values (?,?,?)",
            {QStringLiteral("中文用户"), "A001", QStringLiteral("机房")});
    }
    QString Path(const char *name) { return dir_.filePath(QString::fromLatin1(name)); }
    QByteArray Read(const QString &path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void Write(const QString &path, const QByteArray &bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    // Both tables as text, for comparing before and after.
    QString Snapshot() {
        QString s;
        TUserTableTransfer t(Net());
        for (const QString &table : UserTableNames)
            for (const QStringList &row : t.ExportDataTable(table).Rows)
                s += row.join('|') + '\n';
        return s;
    }

    QTemporaryDir dir_;
    QString savedShortDate_;
};

TEST_P(UserTableTransferTest, ExportWritesTheHandWrittenFileAndImportRestoresIt) {
    Seed();
    const QString file = Path("accounts.hd");
    const TUserTableFileResult out = ExportUserTableFile(Net(), file, "GB18030");
    ASSERT_TRUE(out.Ok()) << out.Detail.toStdString();
    EXPECT_EQ(Read(file), kFixture);

    Net().Exec("delete from UserEquipment");
    Net().Exec("delete from UserRegister");
    Net().Exec("insert into UserRegister (UserName) values ('stale')");
    const TUserTableFileResult in = ImportUserTableFile(Net(), file, "GB18030");
    ASSERT_TRUE(in.Ok()) << in.Detail.toStdString();
    EXPECT_EQ(in.Imported, "UserRegister UserEquipment ");

    const std::vector<TUserRegisterRow> users = TUserRegisterTable(Net()).AllRows();
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].UserName, QStringLiteral("中文用户"));
    EXPECT_EQ(users[0].UseState, 1);
    EXPECT_EQ(users[0].LoginTime, "2024-03-06");
    EXPECT_EQ(users[1].LoginTime, "");
    EXPECT_EQ(TUserEquipmentTable(Net()).UnitsOf(QStringLiteral("中文用户")).at(0).EquipmentName,
              QStringLiteral("机房"));
    // Exported again, the same bytes.
    ASSERT_TRUE(ExportUserTableFile(Net(), Path("again.hd"), "GB18030").Ok());
    EXPECT_EQ(Read(Path("again.hd")), kFixture);
}

TEST_P(UserTableTransferTest, EmptyEquipmentTableExportsItsTableAndFieldLines) {
    const TTableBlock block = TUserTableTransfer(Net()).ExportDataTable("UserEquipment");
    EXPECT_TRUE(block.Rows.empty());
    EXPECT_EQ(UserTableFileLines({block}),
              QStringList({"Table:UserEquipment#@0",
                           "Field:UserName#@EquipmentCode#@EquipmentName#@EquipmentType#@"}));
}

TEST_P(UserTableTransferTest, UnassignedColumnsTakeTheirDefaultsAndTrailingBlankLinesEndTheFile) {
    Write(Path("short.hd"), "Table:UserRegister#@1\r\n"
                            "Field:UserName#@UserPassword#@UseState#@LoginTime#@\r\n"
                            "ContentValue:carol#@pw#@#@#@\r\n"
                            "Table:UserEquipment#@0\r\n"
                            "Field:UserName#@EquipmentCode#@\r\n"
                            "\r\n\r\n");
    const TUserTableFileResult r = ImportUserTableFile(Net(), Path("short.hd"), "GB18030");
    ASSERT_TRUE(r.Ok()) << r.Detail.toStdString();
    const auto users = TUserRegisterTable(Net()).AllRows();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].UseState, 0);               // the column default
    EXPECT_FALSE(users[0].RegisterTime.isEmpty()); // the column default: now
    EXPECT_EQ(users[0].LoginTime, "");
}

TEST_P(UserTableTransferTest, FailingImportsLeaveBothTablesUnchanged) {
    Seed();
    const QString before = Snapshot();
    const QByteArray equipment = "Table:UserEquipment#@1\r\n"
                                 "Field:UserName#@EquipmentCode#@\r\n"
                                 "ContentValue:x#@B1#@\r\n";
    const QByteArray registerHead = "Table:UserRegister#@2\r\n"
                                    "Field:UserName#@RegisterTime#@UseState#@\r\n"
                                    "ContentValue:x#@2024-01-01 10:00:00#@0#@\r\n";
    struct Case {
        const char *what;
        QByteArray file;
    } cases[] = {
        {"more rows announced than follow", "Table:UserRegister#@3\r\nField:UserName#@\r\n"
                                            "ContentValue:x#@\r\n"},
        {"wrong first line", "Tables:UserRegister#@0\r\nField:UserName#@\r\n"},
        {"unreadable date", registerHead + "ContentValue:y#@31.31.2024#@0#@\r\n" + equipment},
        {"not an integer", registerHead + "ContentValue:y#@#@six#@\r\n" + equipment},
        {"second block fails after the first was replaced",
         registerHead + "ContentValue:y#@#@0#@\r\n" +
             "Table:UserEquipment#@1\r\nField:UserName#@NoSuchColumn#@\r\nContentValue:x#@1#@\r\n"},
        {"second block breaks a constraint", registerHead + "ContentValue:y#@#@0#@\r\n" +
                                                 "Table:UserEquipment#@1\r\nField:UserName#@"
                                                 "EquipmentName#@\r\nContentValue:x#@n#@\r\n"},
        {"a table that is not an account table",
         registerHead + "ContentValue:y#@#@0#@\r\nTable:ParamList#@0\r\nField:a#@\r\n"},
        {"a column name that is a statement",
         "Table:UserRegister#@1\r\nField:UserName) values ('z');--#@\r\nContentValue:x#@\r\n"},
        {"empty file", ""},
    };
    for (const Case &c : cases) {
        Write(Path("bad.hd"), c.file);
        const TUserTableFileResult r = ImportUserTableFile(Net(), Path("bad.hd"), "GB18030");
        EXPECT_EQ(r.Message, QString::fromLatin1(ImportFailText)) << c.what;
        EXPECT_EQ(Snapshot(), before) << c.what;
    }
    // A file that is not one: endless, or one name far too long.
    for (const QString &path : {QStringLiteral("/dev/zero"), Path("long.hd")}) {
        Write(Path("long.hd"), "Table:UserRegister#@1\r\nField:UserName#@\r\nContentValue:" +
                                   QByteArray(64 * 1024, 'n') + "#@\r\n");
        const TUserTableFileResult r = ImportUserTableFile(Net(), path, "GB18030");
        EXPECT_EQ(r.Message, QString::fromLatin1(ImportFailText)) << path.toStdString();
        EXPECT_FALSE(r.Detail.isEmpty());
        EXPECT_EQ(Snapshot(), before);
    }
    const TUserTableFileResult missing = ImportUserTableFile(Net(), Path("none.hd"), "GB18030");
    EXPECT_TRUE(missing.Message.startsWith("Cannot open file")) << missing.Message.toStdString();
}

TEST_P(UserTableTransferTest, AFileCutShortAnywhereIsRefusedWithItsReason) {
    Seed();
    const QString before = Snapshot();
    // Every cut before the last line break leaves a line unfinished, or the
    // last line without its break.
    for (qsizetype size = 1; size < kFixture.size() - 1; ++size) {
        Write(Path("cut.hd"), kFixture.left(size));
        const TUserTableFileResult r = ImportUserTableFile(Net(), Path("cut.hd"), "GB18030");
        ASSERT_EQ(r.Message, QString::fromLatin1(ImportFailText)) << size;
        ASSERT_FALSE(r.Detail.isEmpty()) << size;
    }
    EXPECT_EQ(Snapshot(), before);
    Write(Path("whole.hd"), kFixture.left(kFixture.size() - 1)); // CR alone ends a line too
    EXPECT_TRUE(ImportUserTableFile(Net(), Path("whole.hd"), "GB18030").Ok());
}

TEST_P(UserTableTransferTest, DatesAreReadInTheShortLayoutOrIsoWithTheCenturyWindow) {
    sysShortDate = QStringLiteral("M/d/yy");
    const struct {
        const char *text;
        const char *expected; // ISO, empty: not a date
    } cases[] = {
        {"3/5/24 08:09:10", "2024-03-05T08:09:10"},
        {"3/5/24", "2024-03-05T00:00:00"},
        {"12/31/49", "2049-12-31T00:00:00"},
        {"1/1/50 00:00:01", "1950-01-01T00:00:01"},
        {"12/31/99", "1999-12-31T00:00:00"},
        {"2024-03-05 08:09:10", "2024-03-05T08:09:10"},
        {"2024-03-05T08:09:10", "2024-03-05T08:09:10"},
        {"2024-03-05", "2024-03-05T00:00:00"},
        {"31.31.2024", ""},
        {"3/5/24 25:00:00", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ReadAccountDateTime(QString::fromLatin1(c.text)).toString(Qt::ISODate),
                  QString::fromLatin1(c.expected))
            << c.text;
    // A four-digit layout keeps its years as written.
    sysShortDate = QStringLiteral("dd.MM.yyyy");
    EXPECT_EQ(ReadAccountDateTime("05.03.1924").date().year(), 1924);

    // Exported and imported under a two-digit layout, a date keeps its century.
    sysShortDate = QStringLiteral("M/d/yy");
    Seed();
    ASSERT_TRUE(ExportUserTableFile(Net(), Path("yy.hd"), "GB18030").Ok());
    ASSERT_TRUE(ImportUserTableFile(Net(), Path("yy.hd"), "GB18030").Ok());
    const auto rows = Net().Select("select RegisterTime from UserRegister");
    ASSERT_EQ(rows.size(), 2u);
    for (const QSqlRecord &row : rows)
        EXPECT_EQ(Dialect().ReadDateTime(row.value(0)).date().year(), 2024);
}

TEST_P(UserTableTransferTest, ExportFailsWhenAValueCannotBeWritten) {
    TUserRegisterTable(Net()).AddSuperUser("admin01", "pass#@01", QDateTime::currentDateTime());
    const TUserTableFileResult r = ExportUserTableFile(Net(), Path("x.hd"), "GB18030");
    EXPECT_EQ(r.Message, QString::fromLatin1(ExportFailText));
    EXPECT_FALSE(QFile::exists(Path("x.hd")));
    Net().Exec("delete from UserRegister");
    const TUserTableFileResult unwritable =
        ExportUserTableFile(Net(), Path("no-such-dir/x.hd"), "GB18030");
    EXPECT_TRUE(unwritable.Message.startsWith("Cannot create file"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, UserTableTransferTest, testing::Values<quint8>(1, 3),
                         storetest::KindParamName);

} // namespace
