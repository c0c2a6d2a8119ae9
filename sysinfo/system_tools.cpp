#include "sysinfo/system_tools.h"

#include <QFileInfo>
#include <QProcess>

#include <stdexcept>

QString nativePath(const QString &path) {
    QString native = path;
    native.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return native;
}

QString fileTest(const QString &path) {
    const QFileInfo file(nativePath(path));
    if (path.isEmpty() || !file.isFile() || file.fileName().startsWith(QLatin1Char('.')))
        return {};
    return file.fileName();
}

void startProgram(const QString &path) {
    // Only an absolute path names one file: a relative one would be checked
    // in the current folder but started from wherever $PATH leads.
    const QString program = nativePath(path);
    const QFileInfo file(program);
    if (!program.startsWith(QLatin1Char('/')) || !file.isFile() || !file.isExecutable())
        throw std::runtime_error("cannot start '" + program.toStdString() + "'");
    QProcess process;
    process.setProgram(program);
    process.setArguments({});
    if (!process.startDetached())
        throw std::runtime_error("cannot start '" + program.toStdString() + "'");
}
