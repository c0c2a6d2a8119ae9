#pragma once

#include <QFile>
#include <QList>
#include <QProcessEnvironment>
#include <QStringList>

// One fake /dev/parportN for a test, served to the real programs by the
// fake_ppdev library (quorvex_use_fake_ppdev in CMake): the backing file and
// the call log live in the test's folder.
class FakePpdev {
public:
    struct Call {
        qint64 pid;
        QString call; // "claim", "wdata 02", "claim EINTR", ...
    };

    explicit FakePpdev(const QString &folder)
        : m_device(folder + QStringLiteral("/parport0"))
        , m_log(folder + QStringLiteral("/ppdev.log")) {
        QFile device(m_device);
        device.open(QIODevice::WriteOnly);
    }

    const QString &device() const { return m_device; }

    // The system environment with the library preloaded for this device;
    // settings such as QUORVEX_FAKE_PPDEV_DELAY_US go on top.
    QProcessEnvironment environment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LD_PRELOAD"),
                           QStringLiteral(QUORVEX_FAKE_PPDEV_LIBRARY));
        environment.insert(QStringLiteral("QUORVEX_FAKE_PPDEV"), m_device);
        environment.insert(QStringLiteral("QUORVEX_FAKE_PPDEV_LOG"), m_log);
#ifdef __SANITIZE_ADDRESS__
        // The sanitizer runtime wants to be the first library loaded.
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           environment.value(QStringLiteral("ASAN_OPTIONS")) +
                               QStringLiteral(":verify_asan_link_order=0"));
#endif
        return environment;
    }

    QList<Call> log() const {
        QFile file(m_log);
        QList<Call> calls;
        if (!file.open(QIODevice::ReadOnly))
            return calls;
        while (!file.atEnd()) {
            const QString line = QString::fromLatin1(file.readLine()).trimmed();
            const qsizetype space = line.indexOf(QLatin1Char(' '));
            calls.append({line.left(space).toLongLong(), line.mid(space + 1)});
        }
        return calls;
    }

    // The calls in order, without the pids and without stat, which is free
    // to come and go.
    QStringList calls() const {
        QStringList calls;
        for (const Call &entry : log()) {
            if (entry.call != QLatin1String("stat"))
                calls.append(entry.call);
        }
        return calls;
    }

private:
    QString m_device;
    QString m_log;
};
