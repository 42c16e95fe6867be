#include "IniFile.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

#include <limits>

namespace {

bool IsSectionLine(const QString &trimmed) {
    return trimmed.startsWith(QLatin1Char('['));
}

QString SectionName(const QString &trimmed) {
    const qsizetype end = trimmed.indexOf(QLatin1Char(']'));
    return (end < 0 ? trimmed.mid(1) : trimmed.mid(1, end - 1)).trimmed();
}

} // namespace

std::optional<int> ParseIniInt(const QString &text) {
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    bool ok = false;
    qlonglong v = 0;
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        const QString digits = t.mid(2);
        for (QChar c : digits)
            if (!c.isDigit() &&
                !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
                return std::nullopt;
        v = digits.toLongLong(&ok, 16);
    } else {
        v = t.toLongLong(&ok, 10);
    }
    if (!ok || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(v);
}

IniFile::IniFile(QString path) : path_(std::move(path)) {
    Load();
}

void IniFile::Load() {
    lines_.clear();
    problems_.clear();
    QFile f(path_);
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = f.read(MaxBytes);
    lines_ = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    for (QString &line : lines_)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    while (!lines_.isEmpty() && lines_.last().isEmpty())
        lines_.removeLast();
}

bool IniFile::Save() const {
    QSaveFile f(path_);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray out;
    for (const QString &line : lines_) {
        out += line.toUtf8();
        out += "\r\n";
    }
    // A write that does not go through whole (a full disk) must not replace
    // the file: the old one stays as it was.
    if (f.write(out) != out.size() || !f.flush()) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

int IniFile::FindSection(const QString &section) const {
    for (int i = 0; i < lines_.size(); ++i) {
        const QString t = lines_[i].trimmed();
        if (IsSectionLine(t) && SectionName(t).compare(section, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int IniFile::FindKey(int sectionLine, const QString &key) const {
    for (int i = sectionLine + 1; i < lines_.size(); ++i) {
        const QString t = lines_[i].trimmed();
        if (IsSectionLine(t))
            break;
        if (t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = t.indexOf(QLatin1Char('='));
        if (eq > 0 && t.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

std::optional<QString> IniFile::Value(const QString &section, const QString &key) const {
    const int s = FindSection(section);
    if (s < 0)
        return std::nullopt;
    const int k = FindKey(s, key);
    if (k < 0)
        return std::nullopt;
    const QString &line = lines_[k];
    return line.mid(line.indexOf(QLatin1Char('=')) + 1).trimmed();
}

int IniFile::IntValue(const QString &section, const QString &key, int defaultValue) const {
    const std::optional<QString> v = Value(section, key);
    if (!v)
        return defaultValue;
    if (const std::optional<int> parsed = ParseIniInt(*v))
        return *parsed;
    NoteProblem(section, key, *v, QString::number(defaultValue));
    return defaultValue;
}

std::optional<QString> IniFile::TextValue(const QString &section, const QString &key,
                                          bool secret) const {
    const std::optional<QString> v = Value(section, key);
    if (!v)
        return v;
    static const QRegularExpression comment(QStringLiteral(R"((^|\s)[;#])"));
    if (comment.match(*v).hasMatch()) {
        const QString shown =
            secret ? QStringLiteral("%1 characters, not shown").arg(v->size()) : *v;
        const std::size_t before = problems_.size();
        NoteProblem(section, key, shown, shown);
        if (problems_.size() > before)
            problems_.back().commentInValue = true;
    }
    return v;
}

void IniFile::NoteProblem(const QString &section, const QString &key, const QString &found,
                          const QString &used) const {
    for (const TIniProblem &p : problems_)
        if (p.section.compare(section, Qt::CaseInsensitive) == 0 &&
            p.key.compare(key, Qt::CaseInsensitive) == 0)
            return;
    problems_.push_back({section, key, found, used});
}

QString DescribeIniProblem(const TIniProblem &problem) {
    if (problem.commentInValue)
        return QStringLiteral("Set.ini [%1] %2: \"%3\" is used as it stands, \" ;\" or \" #\" "
                              "and all after it included (a comment belongs on a line of its own)")
            .arg(problem.section, problem.key, problem.found);
    QString text = QStringLiteral("Set.ini [%1] %2: \"%3\" cannot be read; using %4")
                       .arg(problem.section, problem.key, problem.found,
                            problem.used.isEmpty() ? QStringLiteral("nothing") : problem.used);
    if (problem.found.contains(QLatin1Char(';')))
        text += QStringLiteral(" (a \"; comment\" belongs on a line of its own)");
    return text;
}

void IniFile::SetValue(const QString &section, const QString &key, const QString &value) {
    const QString line = key + QLatin1Char('=') + value;
    int s = FindSection(section);
    if (s < 0) {
        lines_.append(QLatin1Char('[') + section + QLatin1Char(']'));
        lines_.append(line);
        return;
    }
    const int k = FindKey(s, key);
    if (k >= 0) {
        lines_[k] = line;
        return;
    }
    // Append after the section's last non-blank line.
    int insertAt = s + 1;
    for (int i = s + 1; i < lines_.size(); ++i) {
        const QString t = lines_[i].trimmed();
        if (IsSectionLine(t))
            break;
        if (!t.isEmpty())
            insertAt = i + 1;
    }
    lines_.insert(insertAt, line);
}
