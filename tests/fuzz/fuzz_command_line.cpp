#include "ctl_command.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstddef>
#include <cstdint>

// Any bytes as a command line, one argument per line: parsing either gives a
// command or refuses it with UsageError, nothing else.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        parseWord(text);
    } catch (const UsageError &) {
    }
    QCommandLineParser parser;
    addCtlOptions(parser);
    try {
        parseCtlCommand(parser,
                        QStringList{QStringLiteral("quorvexctl")} + text.split(QLatin1Char('\n')));
    } catch (const UsageError &) {
    }
    return 0;
}
