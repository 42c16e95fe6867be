// mms-remote: runs one statement on the server's remote data service and
// prints its rows (an aligned table, JSON or CSV), runs a statement without
// rows, or applies a delta file. Exit code 0 on success, 1 with the server's
// message on an error, 2 on a usage error.
#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <QTcpSocket>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

const char *UsageText =
    "Usage: mms-remote [--host H] [--port P] [--token T] [--json | --csv] \"select ...\"\n"
    "       mms-remote [--host H] [--port P] [--token T] --exec \"insert/update/delete ...\"\n"
    "       mms-remote [--host H] [--port P] [--token T] [--table NAME] --apply FILE.json\n"
    "\n"
    "Runs a statement on the remote data service of mms-server (JSON-RPC over TCP).\n"
    "\n"
    "  --host H       server address (default 127.0.0.1)\n"
    "  --port P       the service's port, DataBasePort of Set.ini (default 5211)\n"
    "  --token T      the service's token, DataBaseToken of Set.ini (also MMS_REMOTE_TOKEN)\n"
    "  --json         print the rows as the server sends them (JSON)\n"
    "  --csv          print the rows as CSV with a header line\n"
    "  --exec         run a statement without rows and print the rows it affected\n"
    "  --apply FILE   apply a delta: {\"tableName\": ..., \"delta\": [...]} or just [...]\n"
    "  --table NAME   the table of the delta (overrides tableName of the file)\n"
    "  --timeout S    seconds to wait for the server (default 60)\n"
    "  --help         show this text\n"
    "\n"
    "Delta rows: {\"op\": \"insert\", \"new\": {col: value, ...}},\n"
    "            {\"op\": \"update\", \"old\": {...}, \"new\": {...}},\n"
    "            {\"op\": \"delete\", \"old\": {...}}\n"
    "An update or delete must match exactly one row by its old values, or nothing is applied.\n";

// The longest reply line read (the server sends at most 64 MiB of result).
constexpr qint64 MaxReplyBytes = qint64(80) << 20;

struct Options {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 5211;
    QString token;
    enum class Mode { Rows, Exec, Apply } mode = Mode::Rows;
    enum class Format { Table, Json, Csv } format = Format::Table;
    QString statement;
    QString applyFile;
    std::optional<QString> table;
    int timeoutMs = 60000;
};

[[noreturn]] void Fail(const std::string &message, int code = 1) {
    std::fprintf(stderr, "mms-remote: %s\n", message.c_str());
    std::exit(code);
}

[[noreturn]] void Usage(const std::string &message) {
    std::fprintf(stderr, "mms-remote: %s\n\n%s", message.c_str(), UsageText);
    std::exit(2);
}

Options Parse(const QStringList &args) {
    Options o;
    if (qEnvironmentVariableIsSet("MMS_REMOTE_TOKEN"))
        o.token = qEnvironmentVariable("MMS_REMOTE_TOKEN");
    bool haveFormat = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        const auto value = [&]() -> QString {
            if (i + 1 >= args.size())
                Usage(a.toStdString() + " needs a value");
            return args[++i];
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(UsageText, stdout);
            std::exit(0);
        } else if (a == QLatin1String("--host")) {
            o.host = value();
        } else if (a == QLatin1String("--port")) {
            bool ok = false;
            const uint p = value().toUInt(&ok);
            if (!ok || p == 0 || p > 65535)
                Usage("--port needs a port number");
            o.port = quint16(p);
        } else if (a == QLatin1String("--token")) {
            o.token = value();
        } else if (a == QLatin1String("--timeout")) {
            bool ok = false;
            const int s = value().toInt(&ok);
            if (!ok || s <= 0)
                Usage("--timeout needs a number of seconds");
            o.timeoutMs = s * 1000;
        } else if (a == QLatin1String("--json") || a == QLatin1String("--csv")) {
            if (haveFormat)
                Usage("choose one of --json and --csv");
            haveFormat = true;
            o.format = a == QLatin1String("--json") ? Options::Format::Json : Options::Format::Csv;
        } else if (a == QLatin1String("--exec")) {
            o.mode = Options::Mode::Exec;
        } else if (a == QLatin1String("--apply")) {
            o.mode = Options::Mode::Apply;
            o.applyFile = value();
        } else if (a == QLatin1String("--table")) {
            o.table = value();
        } else if (a.startsWith(QLatin1String("--"))) {
            Usage("unknown option " + a.toStdString());
        } else if (o.statement.isEmpty()) {
            o.statement = a;
        } else {
            Usage("give the statement as one argument (in quotes)");
        }
    }
    if (o.mode == Options::Mode::Apply && !o.statement.isEmpty())
        Usage("--apply takes no statement");
    if (o.mode != Options::Mode::Apply && o.statement.isEmpty())
        Usage("no statement given");
    return o;
}

// One JSON-RPC connection to the service.
class Connection {
public:
    Connection(const Options &o) : timeoutMs_(o.timeoutMs) {
        socket_.connectToHost(o.host, o.port);
        if (!socket_.waitForConnected(std::min(timeoutMs_, 10000)))
            Fail("cannot connect to " + o.host.toStdString() + " port " + std::to_string(o.port) +
                 ": " + socket_.errorString().toStdString());
    }

    // The result of one call; exits with the server's message on an error.
    json Call(const std::string &method, const json &params) {
        const json request = {
            {"jsonrpc", "2.0"}, {"id", ++id_}, {"method", method}, {"params", params}};
        const std::string line =
            request.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        socket_.write(line.data(), qint64(line.size()));
        json reply = json::parse(ReadLine(), nullptr, false);
        if (reply.is_discarded() || !reply.is_object())
            Fail("the server's reply is not JSON");
        if (const auto e = reply.find("error"); e != reply.end()) {
            const auto m = e->find("message");
            Fail(m != e->end() && m->is_string() ? m->get<std::string>() : e->dump());
        }
        const auto r = reply.find("result");
        if (r == reply.end())
            Fail("the server's reply has no result");
        return *r;
    }

private:
    std::string ReadLine() {
        for (;;) {
            const qsizetype end = pending_.indexOf('\n');
            if (end >= 0) {
                std::string line = pending_.left(end).toStdString();
                pending_.remove(0, end + 1);
                return line;
            }
            if (pending_.size() > MaxReplyBytes)
                Fail("the server's reply is too long");
            if (socket_.bytesAvailable() <= 0 && !socket_.waitForReadyRead(timeoutMs_))
                Fail(socket_.state() == QAbstractSocket::ConnectedState
                         ? std::string("no reply from the server")
                         : "the server closed the connection: " +
                               socket_.errorString().toStdString());
            pending_ += socket_.readAll();
        }
    }

    QTcpSocket socket_;
    QByteArray pending_;
    int timeoutMs_;
    int id_ = 0;
};

// A value as a table or CSV cell: text as it is, NULL for null.
QString Cell(const json &v) {
    if (v.is_null())
        return QStringLiteral("NULL");
    if (v.is_string())
        return QString::fromStdString(v.get<std::string>());
    return QString::fromStdString(v.dump());
}

void PrintLine(const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
}

QString CsvField(const QString &text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

void PrintRows(const json &result, Options::Format format) {
    if (format == Options::Format::Json) {
        std::puts(result.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
        return;
    }
    const json &fields = result.at("fields");
    const json &rows = result.at("rows");
    QStringList header;
    for (const json &f : fields)
        header << QString::fromStdString(f.at("name").get<std::string>());
    std::vector<QStringList> cells;
    for (const json &row : rows) {
        QStringList line;
        for (const json &v : row)
            line << (format == Options::Format::Csv && v.is_null() ? QString() : Cell(v));
        cells.push_back(line);
    }
    if (format == Options::Format::Csv) {
        const auto csv = [](const QStringList &line) {
            QStringList out;
            for (const QString &c : line)
                out << CsvField(c);
            return out.join(QLatin1Char(','));
        };
        PrintLine(csv(header));
        for (const QStringList &line : cells)
            PrintLine(csv(line));
        return;
    }
    std::vector<qsizetype> width(size_t(header.size()), 0);
    for (qsizetype i = 0; i < header.size(); ++i)
        width[size_t(i)] = header[i].size();
    for (const QStringList &line : cells)
        for (qsizetype i = 0; i < line.size() && i < header.size(); ++i)
            width[size_t(i)] = std::max(width[size_t(i)], line[i].size());
    const auto print = [&](const QStringList &line) {
        QString out;
        for (qsizetype i = 0; i < line.size() && i < header.size(); ++i) {
            if (i > 0)
                out += QStringLiteral("  ");
            out += i + 1 < header.size() ? line[i].leftJustified(width[size_t(i)]) : line[i];
        }
        PrintLine(out);
    };
    print(header);
    QStringList rule;
    for (qsizetype w : width)
        rule << QString(w, QLatin1Char('-'));
    print(rule);
    for (const QStringList &line : cells)
        print(line);
    PrintLine(QStringLiteral("(%1 row%2)").arg(cells.size()).arg(cells.size() == 1 ? "" : "s"));
}

json ApplyParams(const Options &o) {
    QFile file(o.applyFile);
    if (!file.open(QIODevice::ReadOnly))
        Fail("cannot read " + o.applyFile.toStdString() + ": " + file.errorString().toStdString());
    const QByteArray text = file.readAll();
    json content = json::parse(text.begin(), text.end(), nullptr, false);
    if (content.is_discarded())
        Fail(o.applyFile.toStdString() + " is not JSON");
    json params = content.is_array() ? json{{"delta", content}} : content;
    if (!params.is_object() || !params.contains("delta"))
        Fail(o.applyFile.toStdString() + ": expected {\"delta\": [...]} or a list of changes");
    if (o.table)
        params["tableName"] = o.table->toStdString();
    return params;
}

} // namespace

int Run(const Options &o) {
    Connection connection(o);
    if (!o.token.isEmpty())
        connection.Call("Login", json::array({o.token.toStdString()}));
    switch (o.mode) {
    case Options::Mode::Rows:
        PrintRows(connection.Call("DataSetProvider1.GetRecords",
                                  {{"commandText", o.statement.toStdString()}}),
                  o.format);
        break;
    case Options::Mode::Exec: {
        const json r = connection.Call("DataSetProvider1.Execute",
                                       {{"commandText", o.statement.toStdString()}});
        std::printf("%s rows affected\n", r.value("rowsAffected", json(0)).dump().c_str());
        break;
    }
    case Options::Mode::Apply: {
        const json r = connection.Call("DataSetProvider1.ApplyUpdates", ApplyParams(o));
        std::printf("%s changes applied\n", r.value("applied", json(0)).dump().c_str());
        break;
    }
    }
    return 0;
}

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const Options o = Parse(app.arguments());
    try {
        return Run(o);
    } catch (const json::exception &e) {
        Fail(std::string("unexpected reply from the server: ") + e.what());
    }
}
