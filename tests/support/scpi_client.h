#pragma once

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <sys/socket.h>
#include <utility>

// Talking to a SCPI server on loopback, in this process or another.

// Waiting for answers runs the event loop, so that a server in this process
// gets to serve.
class Client {
public:
    explicit Client(quint16 port) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(5000);
    }

    void write(const QByteArray &bytes) {
        m_socket.write(bytes);
        m_socket.flush();
    }
    // Whether anything has arrived that was not read yet, looked at now.
    bool waiting() { return !m_received.isEmpty() || m_socket.bytesAvailable() > 0; }
    // What 'nc -N' does at the end of its input.
    void shutDownSending() { ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR); }

    // The next count lines received, with their terminators; whatever came
    // when they do not come.
    QByteArray read(int count) {
        const auto arrived = [&] {
            m_received += m_socket.readAll();
            return m_received.count('\n') >= count;
        };
        if (!QTest::qWaitFor(arrived, 5000))
            return std::exchange(m_received, {});
        qsizetype end = 0;
        for (int i = 0; i < count; ++i)
            end = m_received.indexOf('\n', end) + 1;
        const QByteArray lines = m_received.left(end);
        m_received.remove(0, end);
        return lines;
    }

    QByteArray ask(const QByteArray &line) {
        write(line + '\n');
        return read(1).chopped(1);
    }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};

#ifdef QUORVEXCTL_BINARY
// 'quorvexctl --simulate serve' in a child process, after the shell command
// before ("ulimit -n 64"), on a free loopback port.
struct ServeProcess {
    explicit ServeProcess(const QString &before = QStringLiteral("true"),
                          const QStringList &options = {}) {
        process.setReadChannel(QProcess::StandardError);
        process.start("sh", QStringList{"-c", before + " && exec \"$0\" \"$@\"", QUORVEXCTL_BINARY,
                                        "--simulate", "serve", "--listen", "127.0.0.1:0"} +
                                options);
        if (process.waitForReadyRead(10000))
            port = quint16(process.readLine().trimmed().split(':').last().toUInt());
    }
    ~ServeProcess() {
        process.terminate();
        process.waitForFinished(10000);
    }

    // From /proc/PID/stat: CPU time in ticks (user and system), resident pages.
    std::pair<qint64, qint64> cpuAndResident() {
        QFile file(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        file.open(QIODevice::ReadOnly);
        const QList<QByteArray> fields = file.readAll().split(')').last().split(' ');
        return {fields.value(12).toLongLong() + fields.value(13).toLongLong(),
                fields.value(22).toLongLong()};
    }

    QProcess process;
    quint16 port = 0;
};
#endif
