#include "instrument/scpi_instrument.h"

#include "instrument/port_board.h"
#include "link/port_access.h"
#include "link/port_backend.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <optional>
#include <span>
#include <utility>

namespace {

// Bits of the standard event status register.
constexpr std::uint8_t OperationComplete = 0x01;
constexpr std::uint8_t QueryError = 0x04;
constexpr std::uint8_t DeviceError = 0x08;
constexpr std::uint8_t ExecutionError = 0x10;
constexpr std::uint8_t CommandError = 0x20;
constexpr std::uint8_t PowerOn = 0x80;

// Bits of the status byte.
constexpr std::uint8_t ErrorQueueNotEmpty = 0x04;
constexpr std::uint8_t QuestionableSummary = 0x08;
constexpr std::uint8_t MessageAvailable = 0x10;
constexpr std::uint8_t EventSummary = 0x20;
constexpr std::uint8_t MasterSummary = 0x40;
constexpr std::uint8_t OperationSummary = 0x80;

// The longest program mnemonic a header level may have.
constexpr qsizetype MnemonicLength = 12;

enum ErrorCode : int {
    InvalidCharacter = -101,
    SyntaxError = -102,
    DataTypeError = -104,
    ParameterNotAllowed = -108,
    MissingParameter = -109,
    MnemonicTooLong = -112,
    UndefinedHeader = -113,
    SuffixOutOfRange = -114,
    InvalidSuffix = -131,
    SuffixTooLong = -134,
    SuffixNotAllowed = -138,
    SettingsConflict = -221,
    DataOutOfRange = -222,
    TooMuchData = -223,
    IllegalValue = IllegalParameterValue,
    QueueOverflow = -350,
    QueryAfterIndefinite = -440,
};

const char *standardText(int code) {
    switch (code) {
    case InvalidCharacter:
        return "Invalid character";
    case SyntaxError:
        return "Syntax error";
    case DataTypeError:
        return "Data type error";
    case ParameterNotAllowed:
        return "Parameter not allowed";
    case MissingParameter:
        return "Missing parameter";
    case MnemonicTooLong:
        return "Program mnemonic too long";
    case UndefinedHeader:
        return "Undefined header";
    case SuffixOutOfRange:
        return "Header suffix out of range";
    case InvalidSuffix:
        return "Invalid suffix";
    case SuffixTooLong:
        return "Suffix too long";
    case SuffixNotAllowed:
        return "Suffix not allowed";
    case SettingsConflict:
        return "Settings conflict";
    case DataOutOfRange:
        return "Data out of range";
    case TooMuchData:
        return "Too much data";
    case IllegalValue:
        return "Illegal parameter value";
    case QueueOverflow:
        return "Queue overflow";
    case QueryAfterIndefinite:
        return "Query UNTERMINATED after indefinite response";
    case ScpiInstrument::BoardBusyCode:
        return "Execution error";
    }
    return "Error";
}

// The event status bit an error sets, by its class.
std::uint8_t eventBitOf(int code) {
    if (code > 0)
        return DeviceError;
    switch (-code / 100) {
    case 1:
        return CommandError;
    case 2:
        return ExecutionError;
    case 3:
        return DeviceError;
    case 4:
        return QueryError;
    }
    return 0;
}

// A program message unit refused with a standard error.
struct Refusal {
    int code;
};

// A query whose error is queued already: it gives no answer.
struct Unanswered {};

// A command that waits for a busy board, its line with it.
struct Waiting {};

bool isSpace(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}
bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

QByteArrayView trimmed(QByteArrayView text) {
    while (!text.isEmpty() && isSpace(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isSpace(text.back()))
        text.chop(1);
    return text;
}

// Splits at separator wherever it stands outside a quoted string.
std::vector<QByteArrayView> split(QByteArrayView text, char separator) {
    std::vector<QByteArrayView> parts;
    char quote = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == separator) {
            parts.push_back(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.sliced(start));
    return parts;
}

bool sameWord(QByteArrayView a, QByteArrayView b) {
    return a.size() == b.size() && qstrnicmp(a.data(), a.size(), b.data(), b.size()) == 0;
}

bool isHeaderCharacter(char c) {
    return isLetter(c) || isDigit(c) || c == '_';
}

// The error of a header level that is no program mnemonic (a letter, then
// letters, digits and underscores, twelve at most), or 0.
int mnemonicError(QByteArrayView level) {
    if (!std::all_of(level.begin(), level.end(), isHeaderCharacter))
        return InvalidCharacter;
    if (level.isEmpty() || !isLetter(level.front()))
        return SyntaxError;
    return level.size() > MnemonicLength ? MnemonicTooLong : 0;
}

bool isString(QByteArrayView parameter) {
    return parameter.startsWith('"') || parameter.startsWith('\'');
}

// Numeric program data, and the unit that follows it, if any.
struct Number {
    double value;
    QByteArrayView suffix; // "DB" in "33 DB"; empty for none
};

// Decimal numeric program data (33, -1.5, 3.3E1), with a suffix such as DB
// after optional white space, or non-decimal (#H8112, #Q377, #B101);
// nothing for other data. A value too large for a double comes back as
// infinity, so that it reads as out of range; one too small, as zero.
std::optional<Number> numberIn(QByteArrayView text) {
    const char *end = text.data() + text.size();
    if (text.size() > 2 && text[0] == '#') {
        const char kind = char(text[1] & ~0x20);
        const int base = kind == 'H' ? 16 : kind == 'Q' ? 8 : kind == 'B' ? 2 : 0;
        unsigned long long value = 0;
        const auto [stop, error] = std::from_chars(text.data() + 2, end, value, base ? base : 10);
        if (base == 0 || stop != end)
            return std::nullopt;
        return Number{error == std::errc() ? double(value) : HUGE_VAL, {}};
    }
    // The grammar of decimal numeric program data, stricter than from_chars.
    qsizetype i = text.startsWith('+') || text.startsWith('-') ? 1 : 0;
    const qsizetype first = i;
    int digits = 0;
    bool tiny = false;
    const auto skipDigits = [&] {
        int n = 0;
        while (i < text.size() && isDigit(text[i]))
            ++i, ++n;
        return n;
    };
    digits += skipDigits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        digits += skipDigits();
    }
    if (digits == 0)
        return std::nullopt;
    const qsizetype mantissaEnd = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        tiny = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        if (skipDigits() == 0)
            i = mantissaEnd; // an "E" with no digits is the start of a suffix
    }
    const qsizetype numberEnd = i;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    const QByteArrayView suffix = text.sliced(i);
    // A suffix unit: letters, with '/' and '.' between them and exponent digits.
    if (!suffix.isEmpty() && (!(isLetter(suffix.front()) || suffix.front() == '/') ||
                              !std::all_of(suffix.begin(), suffix.end(), [](char c) {
                                  return isLetter(c) || isDigit(c) || c == '/' || c == '.';
                              })))
        return std::nullopt;
    double value = 0;
    const auto [stop, error] = std::from_chars(text.data() + first, text.data() + numberEnd, value);
    if (error == std::errc::result_out_of_range)
        value = tiny ? 0.0 : HUGE_VAL;
    return Number{text.startsWith('-') ? -value : value, suffix};
}

// A number for a parameter that takes no unit: -104 for what is not a number,
// -134 and -138 for a suffix after it.
double plainNumberIn(QByteArrayView parameter) {
    const std::optional<Number> number = numberIn(parameter);
    if (!number)
        throw Refusal{DataTypeError};
    if (number->suffix.size() > MnemonicLength)
        throw Refusal{SuffixTooLong};
    if (!number->suffix.isEmpty())
        throw Refusal{SuffixNotAllowed};
    return number->value;
}

// An integer in [low, high], a decimal value rounded to the nearest: -222
// outside the range.
int integerIn(QByteArrayView parameter, int low, int high) {
    const double value = std::round(plainNumberIn(parameter));
    if (!(value >= low && value <= high))
        throw Refusal{DataOutOfRange};
    return int(value);
}

// ON or OFF, or a number: rounded, any but 0 is ON.
bool booleanIn(QByteArrayView parameter) {
    if (sameWord(parameter, "ON"))
        return true;
    if (sameWord(parameter, "OFF"))
        return false;
    if (isString(parameter))
        throw Refusal{DataTypeError};
    if (!numberIn(parameter))
        throw Refusal{IllegalValue};
    return std::round(plainNumberIn(parameter)) != 0;
}

// The keyword of a <numeric_value>: MINimum, MAXimum or DEFault.
enum class Bound { None, Minimum, Maximum, Default };

Bound boundIn(QByteArrayView parameter) {
    for (const auto &[longForm, bound] : {std::pair{"MINIMUM", Bound::Minimum},
                                          {"MAXIMUM", Bound::Maximum},
                                          {"DEFAULT", Bound::Default}}) {
        if (sameWord(parameter, longForm) || sameWord(parameter, QByteArrayView(longForm, 3)))
            return bound;
    }
    return Bound::None;
}

// The slider position of a gain: its bounds by keyword, or a value in dB
// (with or without the unit DB) taken to the nearest step of the scale,
// half way going up.
int positionOfGain(QByteArrayView parameter) {
    static const std::array<double, TopGainPosition + 1> scale = [] {
        std::array<double, TopGainPosition + 1> scale{};
        for (int position = 0; position <= TopGainPosition; ++position)
            scale[std::size_t(position)] = gainDbText(position).toDouble();
        return scale;
    }();
    switch (boundIn(parameter)) {
    case Bound::Maximum:
        return TopGainPosition;
    case Bound::Minimum:
    case Bound::Default:
        return 0;
    case Bound::None:
        break;
    }
    const std::optional<Number> dB = numberIn(parameter);
    if (!dB)
        throw Refusal{DataTypeError};
    if (dB->suffix.size() > MnemonicLength)
        throw Refusal{SuffixTooLong};
    if (!dB->suffix.isEmpty() && !sameWord(dB->suffix, "DB"))
        throw Refusal{InvalidSuffix};
    if (!(dB->value >= scale.front() && dB->value <= scale.back()))
        throw Refusal{DataOutOfRange};
    int position = 0;
    while (position < TopGainPosition &&
           dB->value - scale[std::size_t(position)] >= scale[std::size_t(position) + 1] - dB->value)
        ++position;
    return position;
}

// The check box of a mode command: DCOFf, CMSErvo, ZCENable, OVERrange, then
// GPO1 to GPO4 by the header's suffix.
std::size_t modeBox(int first, int suffix) {
    if (suffix < 1 || suffix > 4)
        throw Refusal{SuffixOutOfRange};
    return std::size_t(first + suffix - 1);
}

QByteArray wordText(std::uint16_t word) {
    return "#H" + QByteArray::number(word, 16).toUpper().rightJustified(4, '0');
}

QByteArray flagText(bool on) {
    return on ? QByteArrayLiteral("1") : QByteArrayLiteral("0");
}

} // namespace

struct ScpiInstrument::Call {
    QByteArrayView parameter; // empty for a command without one
    int suffix = 1;           // the header's numeric suffix, 1 when it has none
    int argument = 0;         // the command's own, from the table
    bool answered = false;    // an earlier query of the line has its answer waiting
};

struct ScpiInstrument::Command {
    // One level of a header: "ERRor" is ERROR or ERR in any case, "GPO#"
    // takes a numeric suffix, "[NEXT]" may be left out.
    struct Node {
        QByteArray longForm;
        QByteArray shortForm;
        bool optional = false;
        bool suffix = false;
    };
    using Run = QByteArray (*)(ScpiInstrument &, const Call &);

    Command(const char *header, bool takesParameter, Run run, int argument = 0)
        : takesParameter(takesParameter)
        , run(run)
        , argument(argument) {
        QByteArrayView text(header);
        query = text.endsWith('?');
        if (query)
            text.chop(1);
        common = text.startsWith('*');
        if (common)
            text = text.sliced(1);
        for (QByteArrayView level : split(text, ':')) {
            Node node;
            node.optional = level.startsWith('[');
            if (node.optional)
                level = level.sliced(1, level.size() - 2);
            node.suffix = level.endsWith('#');
            if (node.suffix)
                level.chop(1);
            for (char c : level) {
                node.longForm += char(c & ~0x20);
                if (c >= 'A' && c <= 'Z')
                    node.shortForm += c;
            }
            nodes.push_back(node);
        }
    }

    // Whether the levels typed name this command; sets suffix when they carry one.
    bool matches(std::span<const QByteArrayView> levels, int &suffix) const {
        return matchFrom(0, levels, suffix);
    }

    bool common = false;
    bool query = false;
    bool indefinite = false; // its answer ends only with the line, as *IDN?'s
    bool takesParameter;
    bool parameterOptional = false; // as GAIN? MAX's
    Run run;
    int argument;
    std::vector<Node> nodes;

private:
    bool matchFrom(std::size_t n, std::span<const QByteArrayView> levels, int &suffix) const {
        if (n == nodes.size())
            return levels.empty();
        if (nodes[n].optional && matchFrom(n + 1, levels, suffix))
            return true;
        return !levels.empty() && matchLevel(nodes[n], levels.front(), suffix) &&
               matchFrom(n + 1, levels.subspan(1), suffix);
    }

    static bool matchLevel(const Node &node, QByteArrayView level, int &suffix) {
        qsizetype nameLength = level.size();
        while (node.suffix && nameLength > 0 && isDigit(level[nameLength - 1]))
            --nameLength;
        const QByteArrayView name = level.first(nameLength);
        if (!sameWord(name, node.longForm) && !sameWord(name, node.shortForm))
            return false;
        if (nameLength < level.size()) {
            const char *end = level.data() + level.size();
            if (std::from_chars(level.data() + nameLength, end, suffix).ec != std::errc())
                suffix = -1;
        }
        return true;
    }
};

const std::vector<ScpiInstrument::Command> &ScpiInstrument::commands() {
    using I = ScpiInstrument;
    const auto none = [](I &, const Call &) { return QByteArray(); };
    const auto setMode = [](I &i, const Call &call) {
        const std::size_t box = modeBox(call.argument, call.suffix);
        const bool on = booleanIn(call.parameter);
        i.perform([&](InstrumentBoard &board) { board.setMode(box, on); }, Reach::Controls);
        return QByteArray();
    };
    const auto mode = [](I &i, const Call &call) {
        return flagText(i.m_board.mode(modeBox(call.argument, call.suffix)));
    };
    const auto readEvent = [](I &i, const Call &call) {
        return QByteArray::number(std::exchange(i.m_status[std::size_t(call.argument)].event, 0));
    };
    const auto condition = [](I &, const Call &) { return QByteArray("0"); };
    const auto setEnable = [](I &i, const Call &call) {
        i.m_status[std::size_t(call.argument)].enable = integerIn(call.parameter, 0, 32767);
        return QByteArray();
    };
    const auto enable = [](I &i, const Call &call) {
        return QByteArray::number(i.m_status[std::size_t(call.argument)].enable);
    };

    static const std::vector<Command> table = [&] {
        std::vector<Command> table{
            {"*IDN?", false,
             [](I &i, const Call &) { return "Kestrovia,QuorvexEVM,0," + i.m_version; }},
            {"*RST", false,
             [](I &i, const Call &) {
                 i.perform([](InstrumentBoard &board) { board.reset(); }, Reach::Sets);
                 return QByteArray();
             }},
            {"*CLS", false,
             [](I &i, const Call &) {
                 i.m_errors.clear();
                 i.m_eventStatus = 0;
                 for (StatusRegister &status : i.m_status)
                     status.event = 0;
                 return QByteArray();
             }},
            {"*OPC", false,
             [](I &i, const Call &) {
                 // Every operation has ended by the time the next command is read.
                 i.m_eventStatus |= OperationComplete;
                 return QByteArray();
             }},
            {"*OPC?", false, [](I &, const Call &) { return QByteArray("1"); }},
            {"*WAI", false, none},
            {"*TST?", false, [](I &, const Call &) { return QByteArray("0"); }},
            {"*OPT?", false, [](I &, const Call &) { return QByteArray("0"); }},
            {"*ESR?", false,
             [](I &i, const Call &) {
                 return QByteArray::number(std::exchange(i.m_eventStatus, std::uint8_t(0)));
             }},
            {"*ESE", true,
             [](I &i, const Call &call) {
                 i.m_eventEnable = std::uint8_t(integerIn(call.parameter, 0, 255));
                 return QByteArray();
             }},
            {"*ESE?", false,
             [](I &i, const Call &) { return QByteArray::number(i.m_eventEnable); }},
            {"*SRE", true,
             [](I &i, const Call &call) {
                 // Bit 6 is the summary itself and cannot enable anything.
                 i.m_serviceEnable =
                     std::uint8_t(integerIn(call.parameter, 0, 255) & ~MasterSummary);
                 return QByteArray();
             }},
            {"*SRE?", false,
             [](I &i, const Call &) { return QByteArray::number(i.m_serviceEnable); }},
            {"*STB?", false,
             [](I &i, const Call &call) {
                 return QByteArray::number(i.statusByte(call.answered));
             }},
            {"SYSTem:ERRor:[NEXT]?", false, [](I &i, const Call &) { return i.nextError(); }},
            {"SYSTem:VERSion?", false, [](I &, const Call &) { return QByteArray("1999.0"); }},
            // The status registers every SCPI instrument has. No condition of
            // this board is ever set, so neither is an event.
            {"STATus:OPERation:[EVENt]?", false, readEvent, Operation},
            {"STATus:OPERation:CONDition?", false, condition, Operation},
            {"STATus:OPERation:ENABle", true, setEnable, Operation},
            {"STATus:OPERation:ENABle?", false, enable, Operation},
            {"STATus:QUEStionable:[EVENt]?", false, readEvent, Questionable},
            {"STATus:QUEStionable:CONDition?", false, condition, Questionable},
            {"STATus:QUEStionable:ENABle", true, setEnable, Questionable},
            {"STATus:QUEStionable:ENABle?", false, enable, Questionable},
            {"STATus:PRESet", false,
             [](I &i, const Call &) {
                 for (StatusRegister &status : i.m_status)
                     status.enable = 0;
                 return QByteArray();
             }},
            {"GAIN", true,
             [](I &i, const Call &call) {
                 const int position = positionOfGain(call.parameter);
                 i.perform([&](InstrumentBoard &board) { board.setGain(position); },
                           Reach::Controls);
                 return QByteArray();
             }},
            {"GAIN?", true,
             [](I &i, const Call &call) {
                 int position = i.m_board.gainPosition();
                 if (!call.parameter.isEmpty()) {
                     const Bound bound = boundIn(call.parameter);
                     if (bound == Bound::None)
                         throw Refusal{numberIn(call.parameter) ? DataTypeError : IllegalValue};
                     position = bound == Bound::Maximum ? TopGainPosition : 0;
                 }
                 return gainDbText(position).toLatin1();
             }},
            {"DCOFf", true, setMode, 0},
            {"DCOFf?", false, mode, 0},
            {"CMSErvo", true, setMode, 1},
            {"CMSErvo?", false, mode, 1},
            {"ZCENable", true, setMode, 2},
            {"ZCENable?", false, mode, 2},
            {"OVERrange", true, setMode, 3},
            {"OVERrange?", false, mode, 3},
            {"GPO#", true, setMode, FirstGpoCheckBox},
            {"GPO#?", false, mode, FirstGpoCheckBox},
            {"WORD", true,
             [](I &i, const Call &call) {
                 const auto word = std::uint16_t(integerIn(call.parameter, 0, 0xFFFF));
                 i.perform([&](InstrumentBoard &board) { board.setWord(word); }, Reach::Sets);
                 return QByteArray();
             }},
            {"WORD?", false, [](I &i, const Call &) { return wordText(i.m_board.word()); }},
            {"WORD:HELD?", false,
             [](I &i, const Call &) {
                 // Reads and changes nothing, so manual editing does not stop it.
                 std::uint16_t held = 0;
                 if (!i.perform([&](InstrumentBoard &board) { held = board.readHeld(); },
                                Reach::Reads))
                     throw Unanswered{};
                 return wordText(held);
             }},
            {"WORD:XCHange?", true,
             [](I &i, const Call &call) {
                 // A port on another host sends its frame through here: the
                 // word sent, and what that frame read back.
                 if (call.parameter.isEmpty())
                     throw Refusal{MissingParameter};
                 const auto word = std::uint16_t(integerIn(call.parameter, 0, 0xFFFF));
                 std::uint16_t readBack = 0;
                 if (!i.perform([&](InstrumentBoard &board) { readBack = board.exchange(word); }))
                     throw Unanswered{};
                 return wordText(readBack);
             }},
            {"READback?", false, [](I &i, const Call &) { return wordText(i.m_board.readBack()); }},
            {"VERify?", false,
             [](I &i, const Call &) {
                 bool echoed = false;
                 // It would send what the person is editing, so it is locked
                 // with the controls.
                 i.perform([&](InstrumentBoard &board) { echoed = board.verify(); },
                           Reach::Controls);
                 return flagText(echoed);
             }},
            {"PORT", true,
             [](I &i, const Call &call) {
                 if (isString(call.parameter))
                     throw Refusal{DataTypeError};
                 const int preset = presetIndex(call.parameter.toByteArray().constData());
                 if (preset < 0)
                     throw Refusal{IllegalValue};
                 i.perform([&](InstrumentBoard &board) { board.choosePort(preset); }, Reach::Sets);
                 return QByteArray();
             }},
            {"PORT?", false,
             [](I &i, const Call &) {
                 return QByteArray(PortPresets[std::size_t(i.m_board.port())].item);
             }},
        };
        // *IDN?'s answer is arbitrary text, which only the line's end ends.
        table.front().indefinite = true;
        for (Command &command : table)
            command.parameterOptional = command.query && command.takesParameter;
        return table;
    }();
    return table;
}

ScpiInstrument::ScpiInstrument(InstrumentBoard &board, QByteArray version)
    : m_board(board)
    , m_version(std::move(version))
    , m_eventStatus(PowerOn) {}

ScpiInstrument::ScpiInstrument(PortBackend &port, int preset, QByteArray version)
    : m_ownBoard(std::make_unique<PortBoard>(port, preset))
    , m_board(*m_ownBoard)
    , m_version(std::move(version))
    , m_eventStatus(PowerOn) {}

ScpiInstrument::~ScpiInstrument() = default;

QByteArray ScpiInstrument::execute(QByteArrayView line) {
    QByteArray response;
    // The header path: a header that does not start with ':' continues from
    // the levels above the previous header's last.
    std::vector<QByteArrayView> path;
    bool indefinite = false;
    std::size_t first = 0;
    // The path of a parked line, kept while its views are in use.
    std::vector<QByteArray> parkedPath;
    if (m_parked) {
        first = m_parked->unit;
        response = std::move(m_parked->response);
        parkedPath = std::move(m_parked->path);
        path.assign(parkedPath.begin(), parkedPath.end());
        indefinite = m_parked->indefinite;
        m_parked.reset();
    }
    m_cutShort = false;
    const std::vector<QByteArrayView> units = split(line, ';');
    for (std::size_t n = first; n < units.size(); ++n) {
        const std::uint64_t framesBefore = m_frames;
        try {
            runUnit(units[n], path, response, indefinite);
        } catch (const Waiting &) {
            std::vector<QByteArray> kept;
            for (QByteArrayView level : path)
                kept.push_back(level.toByteArray());
            m_parked = Parked{n, std::move(response), std::move(kept), indefinite};
            return {};
        }
        // A signal that ends the program acts after this frame, not after
        // the line's last. Asked once a frame on a real port (about 0.1 ms),
        // not once for each of the simulated board's much quicker ones.
        if (m_frames == framesBefore || !m_interrupted)
            continue;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastAsked < InterruptionInterval)
            continue;
        m_lastAsked = now;
        if ((m_cutShort = m_interrupted()))
            break;
    }
    m_stopWaiting = false;
    if (!response.isEmpty())
        response += '\n';
    return response;
}

void ScpiInstrument::refuseLongLine() {
    queueError(TooMuchData);
}

void ScpiInstrument::runUnit(QByteArrayView unit, std::vector<QByteArrayView> &path,
                             QByteArray &response, bool &indefinite) {
    unit = trimmed(unit);
    if (unit.isEmpty())
        return;
    const qsizetype headerEnd = std::find_if(unit.begin(), unit.end(), isSpace) - unit.begin();
    QByteArrayView header = unit.first(headerEnd);
    const QByteArrayView parameters = trimmed(unit.sliced(headerEnd));

    const bool query = header.endsWith('?');
    if (query)
        header.chop(1);
    const bool common = header.startsWith('*');
    const bool absolute = header.startsWith(':');
    if (common || absolute)
        header = header.sliced(1);
    const std::vector<QByteArrayView> typed = split(header, ':');
    int headerError = common && typed.size() > 1 ? SyntaxError : 0;
    for (QByteArrayView level : typed) {
        const int error = mnemonicError(level);
        if (error == InvalidCharacter || (error && !headerError))
            headerError = error;
    }
    if (headerError)
        return queueError(headerError);

    std::vector<QByteArrayView> levels = typed;
    if (!common) {
        if (!absolute)
            levels.insert(levels.begin(), path.begin(), path.end());
        path.assign(levels.begin(), levels.end() - 1);
    }

    Call call;
    const auto found = std::find_if(commands().begin(), commands().end(), [&](const Command &c) {
        return c.common == common && c.query == query && c.matches(levels, call.suffix);
    });
    if (found == commands().end())
        return queueError(UndefinedHeader);

    const std::vector<QByteArrayView> given =
        parameters.isEmpty() ? std::vector<QByteArrayView>{} : split(parameters, ',');
    if (given.size() > (found->takesParameter ? 1u : 0u))
        return queueError(ParameterNotAllowed);
    if (found->takesParameter && given.empty() && !found->parameterOptional)
        return queueError(MissingParameter);
    if (query && indefinite)
        return queueError(QueryAfterIndefinite);

    call.parameter = given.empty() ? QByteArrayView() : trimmed(given.front());
    call.argument = found->argument;
    call.answered = !response.isEmpty();
    try {
        const QByteArray answer = found->run(*this, call);
        if (query) {
            if (!response.isEmpty())
                response += ';';
            response += answer;
            indefinite = found->indefinite;
        }
    } catch (const Refusal &refusal) {
        queueError(refusal.code);
    } catch (const Unanswered &) {
    }
}

void ScpiInstrument::queueError(int code, QByteArray text) {
    m_eventStatus |= eventBitOf(code);
    if (m_errors.size() >= ErrorQueueDepth) {
        m_eventStatus |= eventBitOf(QueueOverflow);
        m_errors.back() = {QueueOverflow, standardText(QueueOverflow)};
        return;
    }
    if (text.isEmpty())
        text = standardText(code);
    if (text.size() > MaxErrorText) {
        // Cut between two characters, never inside one's UTF-8 bytes.
        qsizetype cut = MaxErrorText;
        while (cut > 0 && (text[cut] & 0xC0) == 0x80)
            --cut;
        text.truncate(cut);
    }
    m_errors.push_back({code, std::move(text)});
}

QByteArray ScpiInstrument::nextError() {
    if (m_errors.empty())
        return QByteArrayLiteral("0,\"No error\"");
    Error error = std::move(m_errors.front());
    m_errors.pop_front();
    return QByteArray::number(error.code) + ",\"" + error.text.replace('"', "\"\"") + '"';
}

std::uint8_t ScpiInstrument::statusByte(bool answered) const {
    std::uint8_t status = 0;
    if (!m_errors.empty())
        status |= ErrorQueueNotEmpty;
    if (answered)
        status |= MessageAvailable;
    if (m_eventStatus & m_eventEnable)
        status |= EventSummary;
    if (m_status[Questionable].event & m_status[Questionable].enable)
        status |= QuestionableSummary;
    if (m_status[Operation].event & m_status[Operation].enable)
        status |= OperationSummary;
    if (status & m_serviceEnable)
        status |= MasterSummary;
    return status;
}

bool ScpiInstrument::perform(const std::function<void(InstrumentBoard &)> &action, Reach reach) {
    if (reach != Reach::Reads && m_board.lockedOut()) {
        queueError(SettingsConflict);
        return false;
    }
    if (const std::string busy = m_board.busyWith(); !busy.empty()) {
        if (!m_stopWaiting)
            throw Waiting{};
        queueError(BoardBusyCode,
                   QByteArray(standardText(BoardBusyCode)) + ';' + QByteArray::fromStdString(busy));
        return false;
    }
    if (reach == Reach::Controls && m_board.controlsLocked()) {
        queueError(SettingsConflict);
        return false;
    }
    ++m_frames;
    try {
        action(m_board);
        return true;
    } catch (const PortError &error) {
        queueError(PortErrorCode, error.what());
    } catch (const BoardRefusal &refusal) {
        queueError(refusal.code, QByteArray(standardText(refusal.code)) + ';' +
                                     QByteArray::fromStdString(refusal.info));
    }
    return false;
}
