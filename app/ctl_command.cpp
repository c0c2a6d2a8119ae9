#include "ctl_command.h"

#include "instrument/scpi_server.h"
#include "link/frame_transfer.h"
#include "link/port_access.h"
#include "word/control_word.h"
#include "word/readouts.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString PortOption = QStringLiteral("port");
const QString VerifyOption = QStringLiteral("verify");
const QString JsonOption = QStringLiteral("json");
const QString GainOption = QStringLiteral("gain");
const QString GpoOption = QStringLiteral("gpo");
const QString ListenOption = QStringLiteral("listen");
const QString MaxClientsOption = QStringLiteral("max-clients");

// Mode options of "set" and the check box each stands for.
struct ModeOption {
    const char *name;
    int checkBox;
    const char *help;
};
constexpr ModeOption ModeOptions[] = {
    {"dc-servo-off", 0, "Set \"DC Servo Off\" (bit 15)."},
    {"cm-servo", 1, "Set \"CM Servo Enable\" (bit 14)."},
    {"zc", 2, "Set \"ZC Enable\" (bit 13)."},
    {"over-range", 3, "Set \"Over Range\" (bit 12): -3 dB instead of -1 dB."},
};

QString validDbValues() {
    QStringList values;
    for (int position = 0; position <= 18; ++position)
        values << gainDbText(position);
    return values.join(QStringLiteral(", "));
}

QJsonObject frameJson(const CtlCommand &command, std::uint16_t sent, std::uint16_t readBack) {
    const WordFields fields = fieldsOf(sent);
    QJsonArray gpo;
    for (int n = 1; n <= 4; ++n) {
        if (fields.checks[std::size_t(FirstGpoCheckBox + n - 1)])
            gpo.append(n);
    }
    return QJsonObject{
        {QStringLiteral("port"), QLatin1String(PortPresets[std::size_t(command.port)].item)},
        {QStringLiteral("sent"), wordHexText(sent)},
        {QStringLiteral("readBack"), wordHexText(readBack)},
        {QStringLiteral("gainCode"), fields.gainCode},
        {QStringLiteral("gainDb"), fields.gainDb ? QJsonValue(*fields.gainDb) : QJsonValue()},
        {QStringLiteral("dcServoOff"), fields.checks[0]},
        {QStringLiteral("cmServo"), fields.checks[1]},
        {QStringLiteral("zc"), fields.checks[2]},
        {QStringLiteral("overRange"), fields.checks[3]},
        {QStringLiteral("gpo"), gpo},
    };
}

} // namespace

void addCtlOptions(QCommandLineParser &parser) {
    addPortOptions(parser);
    parser.addOption({PortOption,
                      QStringLiteral("The port the board hangs on: LPT1 (default), LPT2 or LPT3."),
                      QStringLiteral("LPTn"), QStringLiteral("LPT1")});
    parser.addOption({VerifyOption, QStringLiteral("Send the word a second time and check that the "
                                                   "board read back the word just sent.")});
    parser.addOption({JsonOption, QStringLiteral("Print each frame as one JSON object.")});
    parser.addOption({GainOption,
                      QStringLiteral("set: the gain in dB, one of %1.").arg(validDbValues()),
                      QStringLiteral("DB")});
    for (const ModeOption &mode : ModeOptions)
        parser.addOption({QLatin1String(mode.name), QLatin1String(mode.help)});
    parser.addOption({GpoOption,
                      QStringLiteral("set: raise general-purpose output N (1 to 4). "
                                     "Repeatable."),
                      QStringLiteral("N")});
    parser.addOption({ListenOption,
                      QStringLiteral("serve: listen on HOST:PORT instead of 127.0.0.1:5025. SCPI "
                                     "has no password: any other address lets in whoever "
                                     "reaches it."),
                      QStringLiteral("HOST:PORT")});
    parser.addOption({MaxClientsOption,
                      QStringLiteral("serve: serve at most N clients at once (%1 by default, at "
                                     "most %2); one more is disconnected at once.")
                          .arg(ScpiServer::DefaultMaxClients)
                          .arg(ScpiServer::MaxClientsLimit),
                      QStringLiteral("N")});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("send WORD: send WORD (hex). set: build the word "
                                                "from --gain and the mode options and send it. "
                                                "serve: answer SCPI commands over TCP until "
                                                "SIGINT or SIGTERM."),
                                 QStringLiteral("send WORD | set | serve"));
}

std::uint16_t parseWord(const QString &text) {
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    else if (digits.endsWith(QLatin1Char('h'), Qt::CaseInsensitive))
        digits.chop(1);
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    if (digits.isEmpty() || !ok || digits.startsWith(QLatin1Char('+')))
        throw UsageError(QStringLiteral("'%1' is not a hexadecimal word such as 8112, 8112h or "
                                        "0x8112")
                             .arg(text)
                             .toStdString());
    if (value > 0xFFFF)
        throw UsageError(QStringLiteral("'%1' does not fit the 16-bit control word (at most "
                                        "FFFFh)")
                             .arg(text)
                             .toStdString());
    return std::uint16_t(value);
}

int gainPositionFromDb(const QString &dB) {
    for (int position = 0; position <= 18; ++position) {
        if (gainDbText(position) == dB.trimmed())
            return position;
    }
    throw UsageError(QStringLiteral("--gain %1: the gain is one of %2 dB")
                         .arg(dB, validDbValues())
                         .toStdString());
}

CtlCommand parseCtlCommand(QCommandLineParser &parser, const QStringList &arguments) {
    CtlCommand command;
    command.portOptions = parsePortOptions(parser, arguments);
    command.verify = parser.isSet(VerifyOption);
    command.json = parser.isSet(JsonOption);
    command.port = presetIndex(parser.value(PortOption).toLatin1().constData());
    if (command.port < 0)
        throw UsageError(QStringLiteral("--port %1: the port is LPT1, LPT2 or LPT3")
                             .arg(parser.value(PortOption))
                             .toStdString());

    const QStringList positional = parser.positionalArguments();
    const QString verb = positional.value(0);
    bool setOptions = parser.isSet(GainOption) || parser.isSet(GpoOption);
    for (const ModeOption &mode : ModeOptions)
        setOptions |= parser.isSet(QLatin1String(mode.name));

    if (verb == QLatin1String("send")) {
        if (positional.size() != 2)
            throw UsageError("send takes one WORD, e.g. quorvexctl send 8112");
        if (setOptions)
            throw UsageError("--gain, --gpo and the mode options go with set, not send");
        command.word = parseWord(positional[1]);
    } else if (verb == QLatin1String("set")) {
        if (positional.size() != 1)
            throw UsageError("set takes options only, e.g. quorvexctl set --gain 33 --zc");
        ModeChecks checks{};
        for (const ModeOption &mode : ModeOptions) {
            if (parser.isSet(QLatin1String(mode.name)))
                checks[std::size_t(mode.checkBox)] = true;
        }
        for (const QString &gpo : parser.values(GpoOption)) {
            bool ok = false;
            const int n = gpo.toInt(&ok);
            if (!ok || n < 1 || n > 4)
                throw UsageError(
                    QStringLiteral("--gpo %1: the outputs are 1 to 4").arg(gpo).toStdString());
            checks[std::size_t(FirstGpoCheckBox + n - 1)] = true;
        }
        const int position =
            parser.isSet(GainOption) ? gainPositionFromDb(parser.value(GainOption)) : 0;
        command.word = wordFromControls(std::int16_t(position), checks);
    } else if (verb == QLatin1String("serve")) {
        if (positional.size() != 1)
            throw UsageError("serve takes options only, e.g. quorvexctl serve --listen "
                             "127.0.0.1:5025");
        if (setOptions || command.verify || command.json)
            throw UsageError("--gain, --gpo, the mode options, --verify and --json go with send "
                             "and set, not serve");
        command.serve = true;
        command.maxClients = ScpiServer::DefaultMaxClients;
        if (parser.isSet(ListenOption)) {
            const auto listen = parseListenAddress(parser.value(ListenOption));
            if (!listen)
                throw UsageError(QStringLiteral("--listen '%1': expected HOST:PORT, e.g. "
                                                "127.0.0.1:5025, 0.0.0.0:5025 or [::1]:5025")
                                     .arg(parser.value(ListenOption))
                                     .toStdString());
            std::tie(command.listenAddress, command.listenPort) = *listen;
        }
        if (parser.isSet(MaxClientsOption)) {
            bool ok = false;
            command.maxClients = parser.value(MaxClientsOption).toInt(&ok);
            if (!ok || command.maxClients < 1 || command.maxClients > ScpiServer::MaxClientsLimit)
                throw UsageError(QStringLiteral("--max-clients %1: a number from 1 to %2")
                                     .arg(parser.value(MaxClientsOption))
                                     .arg(ScpiServer::MaxClientsLimit)
                                     .toStdString());
        }
    } else if (verb.isEmpty()) {
        throw UsageError("no command: use send WORD, set or serve");
    } else {
        throw UsageError(QStringLiteral("unknown command '%1': use send WORD, set or serve%2")
                             .arg(verb, simulateHint(arguments, verb))
                             .toStdString());
    }
    if ((parser.isSet(ListenOption) || parser.isSet(MaxClientsOption)) && !command.serve)
        throw UsageError("--listen and --max-clients go with serve");
    return command;
}

int runCtl(const CtlCommand &command, PortBackend &port, std::FILE *out, std::FILE *err) {
    const auto send = [&]() {
        const std::uint16_t readBack = sendWord(port, presetRegisters(command.port), command.word);
        if (command.json) {
            const QJsonObject frame = frameJson(command, command.word, readBack);
            std::fprintf(out, "%s\n",
                         QJsonDocument(frame).toJson(QJsonDocument::Compact).constData());
        } else {
            std::fprintf(out, "sent %s  read back %s\n", qPrintable(wordHexText(command.word)),
                         qPrintable(wordHexText(readBack)));
        }
        return readBack;
    };

    send();
    if (!command.verify)
        return 0;
    const std::uint16_t echo = send();
    if (echo == command.word)
        return 0;
    std::fprintf(err, "board did not echo: sent %s, read back %s\n",
                 qPrintable(wordHexText(command.word)), qPrintable(wordHexText(echo)));
    return CtlVerifyFailed;
}
