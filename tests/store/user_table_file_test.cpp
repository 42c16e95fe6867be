// The account file (.hd) as text and bytes: lines, code pages, byte-order
// marks and the parser's refusals.
#include "UserTableFile.h"

#include <gtest/gtest.h>

namespace {

TEST(UserTableFile, BlocksBecomeCrLfLinesAndAnEmptyTableKeepsItsFieldLine) {
    const std::vector<TTableBlock> blocks = {
        {"UserRegister", {"UserName", "UseState"}, {{"bob", "0"}, {"amy", ""}}},
        {"UserEquipment", {"UserName", "EquipmentCode"}, {}}};
    const auto bytes = EncodeUserTableFile(blocks, "GB18030");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, QByteArray("Table:UserRegister#@2\r\n"
                                 "Field:UserName#@UseState#@\r\n"
                                 "ContentValue:bob#@0#@\r\n"
                                 "ContentValue:amy#@#@\r\n"
                                 "Table:UserEquipment#@0\r\n"
                                 "Field:UserName#@EquipmentCode#@\r\n"));
}

TEST(UserTableFile, ValuesThatCannotBeWrittenRefuseTheExport) {
    for (const QString bad : {"a#@b", "a\r\nb", "a\nb"}) {
        const std::vector<TTableBlock> blocks = {{"UserRegister", {"UserName"}, {{bad}}}};
        EXPECT_FALSE(EncodeUserTableFile(blocks, "GB18030")) << bad.toStdString();
    }
    // A code page that cannot hold the character.
    const std::vector<TTableBlock> blocks = {{"UserRegister", {"UserName"}, {{"中文"}}}};
    EXPECT_FALSE(EncodeUserTableFile(blocks, "ISO-8859-1"));
    EXPECT_FALSE(EncodeUserTableFile(blocks, "no-such-code-page"));
}

TEST(UserTableFile, ByteOrderMarkSelectsTheEncodingElseTheCodePage) {
    const QString text = QStringLiteral("Table:中文#@0\r\n");
    struct Case {
        const char *what;
        QByteArray bytes;
    } cases[] = {
        {"GB18030 without mark", QByteArray("Table:\xD6\xD0\xCE\xC4#@0\r\n")},
        {"UTF-8 mark", QByteArray("\xEF\xBB\xBF") + text.toUtf8()},
        {"UTF-16LE mark",
         QByteArray("\xFF\xFE") +
             QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2)},
    };
    for (const Case &c : cases) {
        const auto decoded = DecodeUserTableFile(c.bytes, "GB18030");
        ASSERT_TRUE(decoded) << c.what;
        EXPECT_EQ(*decoded, text) << c.what;
    }
    QByteArray be("\xFE\xFF");
    for (QChar ch : text)
        be.append(char(ch.unicode() >> 8)).append(char(ch.unicode() & 0xFF));
    EXPECT_EQ(DecodeUserTableFile(be, "GB18030"), text);
    EXPECT_FALSE(DecodeUserTableFile("x", "no-such-code-page"));
}

TEST(UserTableFile, ParsesBlocksShortRowsAndLineEndings) {
    const auto blocks = ParseUserTableFile(u"Table:UserRegister#@2\n"
                                           u"Field:UserName#@Email#@UseState#@\r\n"
                                           u"ContentValue: bob #@b@x#@1#@\r"
                                           u"ContentValue:amy#@#@ #@\r\n"
                                           u"Table:UserEquipment#@0\r\n"
                                           u"Field:UserName#@EquipmentCode#@\r\n"
                                           u"\r\n  \r\n");
    ASSERT_TRUE(blocks);
    ASSERT_EQ(blocks->size(), 2u);
    const TTableBlock &r = (*blocks)[0];
    EXPECT_EQ(r.TableName, "UserRegister");
    EXPECT_EQ(r.Fields, QStringList({"UserName", "Email", "UseState"}));
    ASSERT_EQ(r.Rows.size(), 2u);
    EXPECT_EQ(r.Rows[0], QStringList({"bob", "b@x", "1"}));
    // Empty values: their columns stay unassigned.
    EXPECT_EQ(r.Rows[1], QStringList({"amy", "", ""}));
    EXPECT_TRUE((*blocks)[1].Rows.empty());
    // An empty file holds no block.
    EXPECT_EQ(ParseUserTableFile(u"")->size(), 0u);
}

TEST(UserTableFile, MalformedFilesAreRefusedWhole) {
    const char16_t *cases[] = {
        u"Field:UserName#@\r\n",                              // wrong first line
        u"\r\nTable:UserRegister#@0\r\nField:UserName#@\r\n", // blank before a block
        u"Table:UserRegister#@3\r\nField:UserName#@\r\nContentValue:a#@\r\n", // rows missing
        u"Table:UserRegister#@999999999\r\nField:UserName#@\r\n",             // huge count
        u"Table:UserRegister#@x\r\nField:UserName#@\r\n",                     // count not a number
        u"Table:UserRegister#@-1\r\nField:UserName#@\r\n",                    // negative count
        u"Table:UserRegister\r\nField:UserName#@\r\n",                        // no count
        u"Table:UserRegister#@0\r\n",                                         // no field line
        u"Table:UserRegister#@0\r\nField:UserName#@\r\nOther\r\n",            // junk after a block
        u"Table:UserRegister#@1\r\nField:A#@B#@\r\nContentValue:a#@\r\n",     // too few values
        u"Table:UserRegister#@1\r\nField:A#@B#@\r\nContentValue:a#@b#@c#@\r\n",    // too many
        u"Table:UserRegister#@1\r\nField:A#@B#@a#@\r\nContentValue:1#@2#@3#@\r\n", // A twice
        u"Table:UserRegister#@1\r\nField:A#@B#@\r\nContentValue:a#@mms-",          // cut in a value
        u"Table:UserRegister#@1\r\nField:A#@B#@\r\nContentValue:a#@03#",           // cut in "#@"
        u"Table:UserRegister#@0\r\nField:A#@B",                                    // cut field line
    };
    for (const char16_t *c : cases) {
        QString why;
        EXPECT_FALSE(ParseUserTableFile(QString::fromUtf16(c), &why))
            << QString::fromUtf16(c).toStdString();
        EXPECT_FALSE(why.isEmpty());
    }
    // Bounds: a value of more than 4 KiB, a line of millions of separators
    // (refused without a value made for each).
    const QString head = QStringLiteral("Table:UserRegister#@1\r\nField:A#@\r\nContentValue:");
    for (const QString &row : {QString(MaxUserTableValueChars + 1, u'x') + QStringLiteral("#@"),
                               QStringLiteral("#@").repeated(5'000'000)}) {
        QString why;
        EXPECT_FALSE(ParseUserTableFile(head + row + QStringLiteral("\r\n"), &why));
        EXPECT_FALSE(why.isEmpty());
    }
    QString why;
    ParseUserTableFile(u"Table:UserRegister#@1\r\nField:UserName#@Email#@\r\n"
                       u"ContentValue:bob#@\r\n",
                       &why);
    EXPECT_EQ(why,
              QStringLiteral("line 3, row 1 of table UserRegister, has 1 values for 2 columns"));
}

} // namespace
