#include "UserTableFile.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>

namespace {

const QString kSep = QStringLiteral("#@");

bool Representable(const QString &s) {
    return !s.contains(kSep) && !s.contains(QLatin1Char('\r')) && !s.contains(QLatin1Char('\n'));
}

// Every "#@"-ended item of a list, trimmed; the text after the last "#@" is
// an item too unless it is blank.
QStringList SplitItems(QStringView list) {
    QStringList items;
    for (QStringView part : list.split(kSep))
        items.append(part.trimmed().toString());
    if (!items.isEmpty() && items.last().isEmpty())
        items.removeLast();
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
        block.Fields = SplitItems(AfterColon(lines[next++]));
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
            QStringList values = SplitItems(AfterColon(lines[next++]));
            values.resize(block.Fields.size());
            block.Rows.push_back(std::move(values));
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}
