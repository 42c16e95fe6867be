#include "UserTableFile.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <optional>

namespace {

const QString kSep = QStringLiteral("#@");

bool Representable(const QString &s) {
    return !s.contains(kSep) && !s.contains(QLatin1Char('\r')) && !s.contains(QLatin1Char('\n'));
}

// The items of a field or content line as the writer makes it: each one
// followed by "#@". Nothing, with the reason in *why, when the line does not
// end with "#@" (it was cut), holds more than maxItems items, or an item is
// longer than MaxUserTableValueChars. Stops at the first fault, so a line of
// millions of separators costs no memory.
std::optional<QStringList> CheckedItems(QStringView list, qsizetype maxItems, QString *why) {
    const QStringView line = list.trimmed();
    QStringList items;
    if (line.isEmpty())
        return items;
    if (!line.endsWith(kSep)) {
        *why = QStringLiteral("does not end with \"#@\" (the file is cut short)");
        return std::nullopt;
    }
    qsizetype from = 0;
    while (from < line.size()) {
        const qsizetype sep = line.indexOf(kSep, from);
        const QStringView item = line.mid(from, sep - from).trimmed();
        if (items.size() >= maxItems) {
            *why = QStringLiteral("holds more than %1 values").arg(maxItems);
            return std::nullopt;
        }
        if (item.size() > MaxUserTableValueChars) {
            *why = QStringLiteral("holds a value longer than %1 characters")
                       .arg(MaxUserTableValueChars);
            return std::nullopt;
        }
        items.append(item.toString());
        from = sep + kSep.size();
    }
    return items;
}

// The text after the first ":"; the whole line when it has none.
QStringView AfterColon(QStringView line) {
    const qsizetype colon = line.indexOf(QLatin1Char(':'));
    return colon < 0 ? line : line.mid(colon + 1);
}

// Lines as a text list reads them: CR LF, LF or CR end a line; a final line
// ending does not start another line.
std::vector<QStringView> SplitLines(QStringView text) {
    std::vector<QStringView> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        lines.push_back(text.mid(start, i - start));
        if (c == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(text.mid(start));
    return lines;
}

bool Fail(QString *error, const QString &why) {
    if (error)
        *error = why;
    return false;
}

} // namespace

std::optional<QStringList> UserTableFileLines(const std::vector<TTableBlock> &blocks) {
    QStringList lines;
    for (const TTableBlock &b : blocks) {
        if (!Representable(b.TableName))
            return std::nullopt;
        lines.append(QStringLiteral("Table:") + b.TableName + kSep +
                     QString::number(b.Rows.size()));
        QString fields = QStringLiteral("Field:");
        for (const QString &f : b.Fields) {
            if (!Representable(f))
                return std::nullopt;
            fields += f + kSep;
        }
        lines.append(fields);
        for (const QStringList &row : b.Rows) {
            QString content = QStringLiteral("ContentValue:");
            for (const QString &v : row) {
                if (!Representable(v))
                    return std::nullopt;
                content += v.trimmed() + kSep;
            }
            lines.append(content);
        }
    }
    return lines;
}

std::optional<QByteArray> EncodeUserTableFile(const std::vector<TTableBlock> &blocks,
                                              const QString &codePage) {
    const std::optional<QStringList> lines = UserTableFileLines(blocks);
    if (!lines)
        return std::nullopt;
    QStringEncoder encoder(codePage.toLatin1().constData());
    if (!encoder.isValid())
        return std::nullopt;
    QString text;
    for (const QString &line : *lines)
        text += line + QStringLiteral("\r\n");
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

std::optional<QString> DecodeUserTableFile(QByteArrayView bytes, const QString &codePage) {
    if (const std::optional<QStringConverter::Encoding> bom =
            QStringConverter::encodingForData(bytes);
        bom && (bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") ||
                bytes.startsWith("\xFE\xFF"))) {
        QStringDecoder decoder(*bom, QStringConverter::Flag::Stateless);
        return QString(decoder.decode(bytes));
    }
    QStringDecoder decoder(codePage.toLatin1().constData());
    if (!decoder.isValid())
        return std::nullopt;
    return QString(decoder.decode(bytes));
}

std::optional<QString> LikelyOtherEncoding(QByteArrayView bytes, const QString &codePage) {
    if (bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") ||
        bytes.startsWith("\xFE\xFF"))
        return std::nullopt;
    const auto encoding = QStringConverter::encodingForName(codePage.toLatin1().constData());
    if (encoding == QStringConverter::Utf8)
        return std::nullopt;
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; }))
        return std::nullopt;
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    [[maybe_unused]] const QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return QStringLiteral("UTF-8");
}

std::optional<std::vector<TTableBlock>> ParseUserTableFile(QStringView text, QString *error) {
    // Every line ends with a line break, the last one too: text after the
    // last break is a file cut short (perhaps just between two blocks).
    qsizetype last = text.size() - 1;
    while (last >= 0 && text[last].isSpace() && text[last] != QLatin1Char('\r') &&
           text[last] != QLatin1Char('\n'))
        --last;
    if (last >= 0 && text[last] != QLatin1Char('\r') && text[last] != QLatin1Char('\n')) {
        Fail(error, QStringLiteral("the last line has no line break (the file is cut short)"));
        return std::nullopt;
    }
    const std::vector<QStringView> lines = SplitLines(text);
    std::vector<TTableBlock> blocks;
    size_t next = 0;
    const auto restBlank = [&] {
        for (size_t i = next; i < lines.size(); ++i)
            if (!lines[i].trimmed().isEmpty())
                return false;
        return true;
    };
    while (next < lines.size()) {
        if (restBlank())
            break;
        const QStringView tableLine = lines[next++];
        if (!tableLine.startsWith(QLatin1String("Table:"))) {
            Fail(error, QStringLiteral("line %1 is not a table line").arg(next));
            return std::nullopt;
        }
        const qsizetype sep = tableLine.indexOf(kSep);
        if (sep < 0) {
            Fail(error, QStringLiteral("line %1 has no row count").arg(next));
            return std::nullopt;
        }
        TTableBlock block;
        const qsizetype colon = tableLine.indexOf(QLatin1Char(':'));
        block.TableName = tableLine.mid(colon + 1, sep - colon - 1).trimmed().toString();
        if (block.TableName.size() > MaxUserTableValueChars) {
            Fail(error, QStringLiteral("line %1: the table name is longer than %2 characters")
                            .arg(next)
                            .arg(MaxUserTableValueChars));
            return std::nullopt;
        }
        bool ok = false;
        const QStringView countText = tableLine.mid(sep + 2, 9).trimmed();
        const int count = countText.toInt(&ok);
        if (!ok || count < 0) {
            Fail(error, QStringLiteral("line %1: row count \"%2\" is not a number")
                            .arg(next)
                            .arg(countText.toString()));
            return std::nullopt;
        }
        if (next >= lines.size()) {
            Fail(error, QStringLiteral("table %1 has no field line").arg(block.TableName));
            return std::nullopt;
        }
        QString why;
        const qsizetype fieldLine = qsizetype(next) + 1;
        std::optional<QStringList> fields =
            CheckedItems(AfterColon(lines[next++]), MaxUserTableFields, &why);
        if (!fields) {
            Fail(error, QStringLiteral("line %1, the field line of table %2, %3")
                            .arg(fieldLine)
                            .arg(block.TableName, why));
            return std::nullopt;
        }
        block.Fields = std::move(*fields);
        for (qsizetype i = 0; i < block.Fields.size(); ++i)
            for (qsizetype j = 0; j < i; ++j)
                if (block.Fields[i].compare(block.Fields[j], Qt::CaseInsensitive) == 0) {
                    Fail(error, QStringLiteral("table %1 names the column %2 twice")
                                    .arg(block.TableName, block.Fields[i]));
                    return std::nullopt;
                }
        // More rows than lines left cannot be there: fail before reading any.
        if (static_cast<size_t>(count) > lines.size() - next) {
            Fail(error, QStringLiteral("table %1 announces %2 rows, %3 lines follow")
                            .arg(block.TableName)
                            .arg(count)
                            .arg(lines.size() - next));
            return std::nullopt;
        }
        block.Rows.reserve(count);
        for (int r = 0; r < count; ++r) {
            const qsizetype rowLine = qsizetype(next) + 1;
            // One value more than the columns is enough to tell a wrong row.
            std::optional<QStringList> values =
                CheckedItems(AfterColon(lines[next++]), block.Fields.size() + 1, &why);
            if (values && values->size() != block.Fields.size())
                why = QStringLiteral("has %1 values for %2 columns")
                          .arg(values->size())
                          .arg(block.Fields.size());
            if (!values || values->size() != block.Fields.size()) {
                Fail(error, QStringLiteral("line %1, row %2 of table %3, %4")
                                .arg(rowLine)
                                .arg(r + 1)
                                .arg(block.TableName, why));
                return std::nullopt;
            }
            block.Rows.push_back(std::move(*values));
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}
