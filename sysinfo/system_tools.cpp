#include "sysinfo/system_tools.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

void startProgram(const QString &path, ChildSetup setup) {
    // Only an absolute path names one file: a relative one would be checked
    // in the current folder but started from wherever $PATH leads.
    const QString program = nativePath(path);
    const QFileInfo file(program);
    if (!program.startsWith(QLatin1Char('/')) || !file.isFile() || !file.isExecutable())
        throw std::runtime_error("cannot start '" + program.toStdString() + "'");

    // Detached, as a program started from the desktop's menu, through a
    // child that exits at once, after the caller's setup; every descriptor of
    // ours is close-on-exec. Only async-signal-safe calls after fork.
    const QByteArray name = QFile::encodeName(program);
    char *const arguments[] = {const_cast<char *>(name.constData()), nullptr};
    int report[2];
    if (::pipe2(report, O_CLOEXEC) < 0)
        throw std::runtime_error("cannot start '" + program.toStdString() + "'");
    const pid_t child = ::fork();
    if (child == 0) {
        if (setup)
            setup();
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::execv(name.constData(), arguments);
            const int error = errno;
            [[maybe_unused]] const ssize_t sent = ::write(report[1], &error, sizeof error);
        } else if (grandchild < 0) {
            const int error = errno;
            [[maybe_unused]] const ssize_t sent = ::write(report[1], &error, sizeof error);
        }
        ::_exit(0);
    }
    ::close(report[1]);
    int error = child < 0 ? errno : 0;
    if (child > 0) {
        // A successful exec closes the pipe and tells nothing.
        ssize_t got;
        do
            got = ::read(report[0], &error, sizeof error);
        while (got < 0 && errno == EINTR);
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(report[0]);
    if (error)
        throw std::runtime_error("cannot start '" + program.toStdString() +
                                 "': " + std::strerror(error));
}
