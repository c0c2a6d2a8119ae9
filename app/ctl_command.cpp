#include "ctl_command.h"

#include "instrument/scpi_server.h"
#include "link/frame_transfer.h"
#include "link/parport_backend.h"
#include "link/port_access.h"
#include "word/control_word.h"
#include "word/readouts.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>

namespace {

const QString PortOption = QStringLiteral("port");
const QString VerifyOption = QStringLiteral("verify");
const QString JsonOption = QStringLiteral("json");
const QString GainOption = QStringLiteral("gain");
const QString GpoOption = QStringLiteral("gpo");
const QString ListenOption = QStringLiteral("listen");
const QString MaxClientsOption = QStringLiteral("max-clients");
const QString NoVxi11Option = QStringLiteral("no-vxi11");
const QString NoDnsSdOption = QStringLiteral("no-dns-sd");
const QString ConnectOption = QStringLiteral("connect");

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

// The JSON names of the check boxes' bits, in check-box order; the outputs
// go into one list.
constexpr const char *ModeJsonNames[] = {"dcServoOff", "cmServo", "zc", "overRange"};
constexpr std::size_t OverRangeCheckBox = 3;

// head's members, then what word sets on the chip.
QJsonObject fieldsJson(QJsonObject head, std::uint16_t word) {
    const WordFields fields = fieldsOf(word);
    QJsonArray gpo;
    for (int n = 1; n <= 4; ++n) {
        if (fields.checks[std::size_t(FirstGpoCheckBox + n - 1)])
            gpo.append(n);
    }
    head.insert(QStringLiteral("gainCode"), fields.gainCode);
    head.insert(QStringLiteral("gainDb"),
                fields.gainDb ? QJsonValue(*fields.gainDb) : QJsonValue());
    for (std::size_t m = 0; m < std::size(ModeJsonNames); ++m)
        head.insert(QLatin1String(ModeJsonNames[m]), bool(fields.checks[m]));
    head.insert(QStringLiteral("gpo"), gpo);
    return head;
}

void printJson(std::FILE *out, const QJsonObject &object) {
    std::fprintf(out, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
}

// The command's port, reached through a back end.
class PortLink final : public BoardLink {
public:
    PortLink(PortBackend &port, int preset)
        : m_port(port)
        , m_preset(preset) {}

    std::uint16_t send(std::uint16_t word) override {
        return sendWord(m_port, presetRegisters(m_preset), word);
    }
    std::uint16_t readHeld() override { return readHeldWord(m_port, presetRegisters(m_preset)); }
    QString port() override { return QLatin1String(PortPresets[std::size_t(m_preset)].item); }

private:
    PortBackend &m_port;
    int m_preset;
};

// A panel or quorvexctl serve, through its SCPI commands: each frame is one
// line, which also asks for the error it may have queued. Each connection
// has an error queue of its own, so no other client's error is taken for
// this frame's, and none of theirs is wiped.
class ScpiLink final : public BoardLink {
public:
    explicit ScpiLink(const ServerAddress &address)
        : m_where(address.address.protocol() == QAbstractSocket::IPv6Protocol
                      ? QStringLiteral("[%1]:%2").arg(address.address.toString()).arg(address.port)
                      : QStringLiteral("%1:%2").arg(address.address.toString()).arg(address.port)) {
        m_socket.connectToHost(address.address, address.port);
        if (!m_socket.waitForConnected(AnswerWaitMs))
            fail(m_socket.errorString() + QStringLiteral("; start the panel with --listen, or "
                                                         "quorvexctl serve, there"));
    }

    // Moves the panel or server to preset, as its PORT command does.
    void choosePort(int preset) {
        ask(QStringLiteral("PORT %1").arg(QLatin1String(PortPresets[std::size_t(preset)].item)));
    }

    std::uint16_t send(std::uint16_t word) override {
        return wordIn(
            ask(QStringLiteral("WORD #H%1;READback?").arg(word, 4, 16, QLatin1Char('0'))));
    }
    std::uint16_t readHeld() override { return wordIn(ask(QStringLiteral("WORD:HELD?"))); }
    QString port() override { return QString::fromLatin1(ask(QStringLiteral("PORT?"))); }

private:
    static constexpr int AnswerWaitMs = 10'000;

    [[noreturn]] void fail(const QString &reason) const {
        throw PortError(QStringLiteral("%1: %2").arg(m_where, reason).toStdString());
    }

    // Runs commands and gives their answer, or throws with the error they queued.
    QByteArray ask(const QString &commands) {
        m_socket.write(QStringLiteral("%1;:SYSTem:ERRor?\n").arg(commands).toLatin1());
        QByteArray line;
        while (!line.endsWith('\n')) {
            if (!m_socket.bytesAvailable() && !m_socket.waitForReadyRead(AnswerWaitMs))
                fail(QStringLiteral("no answer: %1").arg(m_socket.errorString()));
            line += m_socket.readLine();
        }
        line.chop(1);
        // The error is the last answer, and the only one that is quoted.
        const qsizetype quote = line.indexOf('"');
        const qsizetype errorStart = quote < 0 ? -1 : line.lastIndexOf(';', quote) + 1;
        const QByteArray error = quote < 0 ? line : line.mid(errorStart);
        if (!error.startsWith("0,"))
            fail(QStringLiteral("%1%2").arg(QString::fromUtf8(error),
                                            error.startsWith("-221,")
                                                ? QStringLiteral("; the panel's bits are being "
                                                                 "edited (click Update or Clear "
                                                                 "there), or another session "
                                                                 "holds the lock; then try again")
                                                : QString()));
        return errorStart > 0 ? line.left(errorStart - 1) : QByteArray();
    }

    std::uint16_t wordIn(const QByteArray &answer) const {
        bool ok = false;
        const uint word = answer.startsWith("#H") ? answer.mid(2).toUInt(&ok, 16) : 0;
        if (!ok || word > 0xFFFF)
            fail(QStringLiteral("an answer that is no word: '%1'").arg(QString::fromUtf8(answer)));
        return std::uint16_t(word);
    }

    QString m_where;
    QTcpSocket m_socket;
};

// "held 8112h" or "word 8112h", then one line per field, as the panel names them.
void printFields(std::FILE *out, const char *label, std::uint16_t word) {
    const WordFields fields = fieldsOf(word);
    std::fprintf(out, "%s %s\n", label, qPrintable(wordHexText(word)));
    const QString code = gainHexText(fields.gainCode);
    if (fields.gainDb)
        std::fprintf(out, "  %-16s %d dB (code %s)\n", "gain", *fields.gainDb, qPrintable(code));
    else
        std::fprintf(out, "  %-16s code %s, beyond the slider's top (%s, %s dB)\n", "gain",
                     qPrintable(code), qPrintable(gainHexText(TopGainPosition)),
                     qPrintable(gainDbText(TopGainPosition)));
    for (std::size_t m = 0; m < CheckBoxName.size(); ++m)
        std::fprintf(out, "  %-16s %d  bit %d%s\n", CheckBoxName[m], int(fields.checks[m]),
                     CheckBoxBit[m], m == OverRangeCheckBox ? ": 0 = -1 dB, 1 = -3 dB" : "");
    if (const int unused = (word >> GainBitCount) & 3)
        std::fprintf(out, "  %-16s %d%d  the panel keeps them 0\n", "bits 7 and 6", unused >> 1,
                     unused & 1);
}

// One line: the device, its address, the presets bound to it, and whether
// this user may open it or why not.
void printListing(std::FILE *out, bool json, const PortListing &entry) {
    QStringList presets;
    for (int preset : entry.presets)
        presets << QLatin1String(PortPresets[std::size_t(preset)].item);
    const QString base = hexText(entry.port.base) + QLatin1Char('h');
    if (json) {
        printJson(out, QJsonObject{
                           {QStringLiteral("device"), QString::fromStdString(entry.device)},
                           {QStringLiteral("base"), base},
                           {QStringLiteral("presets"), QJsonArray::fromStringList(presets)},
                           {QStringLiteral("mayOpen"), entry.refusal.empty()},
                           {QStringLiteral("refusal"), QString::fromStdString(entry.refusal)},
                       });
        return;
    }
    std::fprintf(out, "%-14s %-6s %-15s %s\n", entry.device.c_str(), qPrintable(base),
                 presets.isEmpty() ? "-" : qPrintable(presets.join(QLatin1Char(','))),
                 entry.refusal.empty() ? "may open" : ("cannot open: " + entry.refusal).c_str());
}

} // namespace

void addCtlOptions(QCommandLineParser &parser) {
    addPortOptions(parser);
    parser.addOption({PortOption,
                      QStringLiteral("The port the board hangs on: LPT1 (default), LPT2 or LPT3."),
                      QStringLiteral("LPTn"), QStringLiteral("LPT1")});
    parser.addOption({VerifyOption, QStringLiteral("Send the word a second time and check that the "
                                                   "board read back the word just sent.")});
    parser.addOption({JsonOption, QStringLiteral("Print each frame, word or port as one JSON "
                                                 "object.")});
    parser.addOption({GainOption,
                      QStringLiteral("set: the gain in dB, one of %1.").arg(validDbValues()),
                      QStringLiteral("DB")});
    for (const ModeOption &mode : ModeOptions)
        parser.addOption({QLatin1String(mode.name), QLatin1String(mode.help)});
    parser.addOption({GpoOption,
                      QStringLiteral("set: raise general-purpose output N (1 to 4). "
                                     "Repeatable."),
                      QStringLiteral("N")});
    parser.addOption({ConnectOption,
                      QStringLiteral("send, set and read: go through a panel started with "
                                     "--listen, or quorvexctl serve, at HOST:PORT instead of a "
                                     "port, with the same output and exit codes. --port then "
                                     "moves it to that port."),
                      QStringLiteral("HOST:PORT")});
    parser.addOption({ListenOption,
                      QStringLiteral("serve: listen on HOST:PORT instead of 127.0.0.1:5025. SCPI "
                                     "has no password: any other address lets in whoever "
                                     "reaches it."),
                      QStringLiteral("HOST:PORT")});
    parser.addOption({MaxClientsOption,
                      QStringLiteral("serve: serve at most N clients at once (%1 by default, at "
                                     "most %2); one more is told so and disconnected.")
                          .arg(ScpiServer::DefaultMaxClients)
                          .arg(ScpiServer::MaxClientsLimit),
                      QStringLiteral("N")});
    parser.addOption(
        {NoVxi11Option, QStringLiteral("serve: leave out VXI-11 (TCPIP::HOST::INSTR), which is "
                                       "served by default beside the raw socket.")});
    parser.addOption(
        {NoDnsSdOption, QStringLiteral("serve: leave out the DNS-SD announcement, made by default "
                                       "through avahi-daemon.")});
    parser.addPositionalArgument(
        QStringLiteral("command"),
        QStringLiteral("send WORD: send WORD, hexadecimal 0 to FFFF, written 8112, 8112h or "
                       "0x8112 in any case (no sign, no decimal). set: build the word from "
                       "--gain and the mode options and send it. read: print the word the chip "
                       "holds and its fields, leaving it held. decode WORD: print the fields of "
                       "WORD; no port is touched. list: the parallel ports the system knows, "
                       "the preset bound to each and whether you may open it. serve: answer "
                       "SCPI commands over TCP until SIGINT or SIGTERM."),
        QStringLiteral("send WORD | set | read | decode WORD | list | serve"));
}

std::uint16_t parseWord(const QString &text) {
    const QString trimmed = text.trimmed();
    QString digits = trimmed;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    else if (digits.endsWith(QLatin1Char('h'), Qt::CaseInsensitive))
        digits.chop(1);
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]+$"));
    const bool hexadecimal = hexDigits.match(digits).hasMatch();
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    if (hexadecimal && ok && value <= 0xFFFF)
        return std::uint16_t(value);

    QString reason = QStringLiteral("not a hexadecimal number");
    if (trimmed.startsWith(QLatin1Char('-')) || trimmed.startsWith(QLatin1Char('+'))) {
        reason = QStringLiteral("a word has no sign");
    } else if (hexadecimal) {
        const uint asDecimal = trimmed.toUInt(&ok, 10);
        reason = ok && asDecimal <= 0xFFFF
                     ? QStringLiteral("read as hexadecimal it does not fit the 16-bit word, and "
                                      "decimal numbers are not taken (decimal %1 is %2)")
                           .arg(trimmed, wordHexText(std::int32_t(asDecimal)))
                     : QStringLiteral("it does not fit the 16-bit word (at most FFFFh)");
    } else if (trimmed.contains(QRegularExpression(QStringLiteral("^[0-9]*[.,][0-9]*$")))) {
        reason = QStringLiteral("decimal numbers are not taken");
    }
    throw UsageError(QStringLiteral("'%1': %2; write a word in hexadecimal, 0 to FFFF: 8112, "
                                    "8112h or 0x8112")
                         .arg(text, reason)
                         .toStdString());
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
    try {
        command.portOptions = parsePortOptions(parser, arguments);
    } catch (const UsageError &) {
        // No option starts with a digit: "send -1" is a signed word the parser
        // took for options, and the word's reason says more than theirs.
        static const QRegularExpression signedNumber(QStringLiteral("^-[0-9A-Fa-fXx]*[0-9]"));
        for (const QString &name : parser.unknownOptionNames()) {
            for (const QString &argument : arguments.mid(1)) {
                if (argument.contains(signedNumber) && argument.mid(1).startsWith(name))
                    parseWord(argument);
            }
        }
        throw;
    }
    command.verify = parser.isSet(VerifyOption);
    command.json = parser.isSet(JsonOption);
    command.port = presetIndex(parser.value(PortOption).toLatin1().constData());
    command.portChosen = parser.isSet(PortOption);
    if (command.port < 0)
        throw UsageError(QStringLiteral("--port %1: the port is LPT1, LPT2 or LPT3")
                             .arg(parser.value(PortOption))
                             .toStdString());

    const QStringList positional = parser.positionalArguments();
    const QString verb = positional.value(0);
    bool setOptions = parser.isSet(GainOption) || parser.isSet(GpoOption);
    for (const ModeOption &mode : ModeOptions)
        setOptions |= parser.isSet(QLatin1String(mode.name));
    const QString commands = QStringLiteral("send WORD, set, read, decode WORD, list or serve");

    if (verb == QLatin1String("send") || verb == QLatin1String("decode")) {
        command.verb =
            verb == QLatin1String("send") ? CtlCommand::Verb::Send : CtlCommand::Verb::Decode;
        if (positional.size() != 2)
            throw UsageError(QStringLiteral("%1 takes one WORD, e.g. quorvexctl %1 8112")
                                 .arg(verb)
                                 .toStdString());
        command.word = parseWord(positional[1]);
    } else if (verb == QLatin1String("set")) {
        command.verb = CtlCommand::Verb::Set;
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
    } else if (verb == QLatin1String("read") || verb == QLatin1String("list") ||
               verb == QLatin1String("serve")) {
        command.verb = verb == QLatin1String("read")   ? CtlCommand::Verb::Read
                       : verb == QLatin1String("list") ? CtlCommand::Verb::List
                                                       : CtlCommand::Verb::Serve;
        if (positional.size() != 1)
            throw UsageError(QStringLiteral("%1 takes options only").arg(verb).toStdString());
    } else if (verb.isEmpty()) {
        throw UsageError(QStringLiteral("no command: use %1").arg(commands).toStdString());
    } else {
        throw UsageError(QStringLiteral("unknown command '%1': use %2%3")
                             .arg(verb, commands, simulateHint(arguments, verb))
                             .toStdString());
    }

    using Verb = CtlCommand::Verb;
    if (setOptions && command.verb != Verb::Set)
        throw UsageError("--gain, --gpo and the mode options go with set");
    if (command.verify && command.verb != Verb::Send && command.verb != Verb::Set)
        throw UsageError("--verify goes with send and set");
    if (command.json && command.verb == Verb::Serve)
        throw UsageError("--json does not go with serve");
    if (!command.portOptions.traceFile.empty() && !ctlUsesPort(command))
        throw UsageError(QStringLiteral("--trace: %1 sends no frames").arg(verb).toStdString());
    if (parser.isSet(ListenOption)) {
        if (command.verb != Verb::Serve)
            throw UsageError("--listen goes with serve");
        const ServerAddress listen =
            serverAddressFrom(QStringLiteral("--listen"), parser.value(ListenOption));
        command.listenAddress = listen.address;
        command.listenPort = listen.port;
    }
    if (command.verb == Verb::Serve)
        command.maxClients = ScpiServer::DefaultMaxClients;
    if (parser.isSet(ConnectOption)) {
        if (command.verb != Verb::Send && command.verb != Verb::Set && command.verb != Verb::Read)
            throw UsageError("--connect goes with send, set and read");
        if (const QString option = givenPortOption(parser); !option.isEmpty())
            throw UsageError(QStringLiteral("%1 does not go with --connect: the panel or server "
                                            "there reaches the board with its own port options")
                                 .arg(option)
                                 .toStdString());
        command.connect =
            serverAddressFrom(QStringLiteral("--connect"), parser.value(ConnectOption));
    }
    for (const QString &option : {NoVxi11Option, NoDnsSdOption})
        if (parser.isSet(option) && command.verb != Verb::Serve)
            throw UsageError(QStringLiteral("--%1 goes with serve").arg(option).toStdString());
    command.lan = {!parser.isSet(NoVxi11Option), !parser.isSet(NoDnsSdOption)};
    if (parser.isSet(MaxClientsOption)) {
        bool ok = false;
        command.maxClients = parser.value(MaxClientsOption).toInt(&ok);
        if (command.verb != Verb::Serve)
            throw UsageError("--max-clients goes with serve");
        if (!ok || command.maxClients < 1 || command.maxClients > ScpiServer::MaxClientsLimit)
            throw UsageError(QStringLiteral("--max-clients %1: a number from 1 to %2")
                                 .arg(parser.value(MaxClientsOption))
                                 .arg(ScpiServer::MaxClientsLimit)
                                 .toStdString());
    }
    return command;
}

bool ctlUsesPort(const CtlCommand &command) {
    return command.verb != CtlCommand::Verb::Decode && command.verb != CtlCommand::Verb::List;
}

std::unique_ptr<BoardLink> connectToBoard(const CtlCommand &command) {
    auto link = std::make_unique<ScpiLink>(*command.connect);
    if (command.portChosen)
        link->choosePort(command.port);
    return link;
}

int runCtl(const CtlCommand &command, PortBackend &port, std::FILE *out, std::FILE *err) {
    PortLink link(port, command.port);
    return runCtl(command, link, out, err);
}

int runCtl(const CtlCommand &command, BoardLink &board, std::FILE *out, std::FILE *err) {
    if (command.verb == CtlCommand::Verb::Read) {
        std::uint16_t held = 0;
        try {
            held = board.readHeld();
        } catch (const SplitFrameRefused &refusal) {
            std::fprintf(err, "quorvexctl: %s\n", refusal.what());
            return UsageExitCode;
        }
        if (command.json)
            printJson(out, fieldsJson({{QStringLiteral("port"), board.port()},
                                       {QStringLiteral("held"), wordHexText(held)}},
                                      held));
        else
            printFields(out, "held", held);
        return 0;
    }

    const auto send = [&]() {
        const std::uint16_t readBack = board.send(command.word);
        if (command.json)
            printJson(out, fieldsJson({{QStringLiteral("port"), board.port()},
                                       {QStringLiteral("sent"), wordHexText(command.word)},
                                       {QStringLiteral("readBack"), wordHexText(readBack)}},
                                      command.word));
        else
            std::fprintf(out, "sent %s  read back %s\n", qPrintable(wordHexText(command.word)),
                         qPrintable(wordHexText(readBack)));
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

int runCtlWithoutPort(const CtlCommand &command, ParportSystem &system, const std::string &procRoot,
                      std::FILE *out) {
    if (command.verb == CtlCommand::Verb::Decode) {
        if (command.json)
            printJson(out, fieldsJson({{QStringLiteral("word"), wordHexText(command.word)}},
                                      command.word));
        else
            printFields(out, "word", command.word);
        return 0;
    }

    std::map<std::uint16_t, std::string> parportDevices;
    for (const auto &[base, binding] : command.portOptions.devices) {
        if (!adapterFor(binding))
            parportDevices[base] = binding;
    }
    const std::vector<PortListing> ports = listParallelPorts(system, procRoot, parportDevices);
    if (ports.empty() && !command.json)
        std::fprintf(out, "no parallel ports are known to the system; load the driver with "
                          "'sudo modprobe parport_pc ppdev'\n");
    for (const PortListing &entry : ports)
        printListing(out, command.json, entry);
    for (const PresentAdapter &adapter : presentAdapters()) {
        if (command.json)
            printJson(out, QJsonObject{
                               {QStringLiteral("adapter"), QString::fromStdString(adapter.binding)},
                               {QStringLiteral("description"),
                                QString::fromStdString(adapter.description)},
                           });
        else
            std::fprintf(out, "%-14s %s\n", adapter.binding.c_str(), adapter.description.c_str());
    }
    return 0;
}
