#pragma once

#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <cstdint>
#include <vector>

// A VXI-11 link to the core channel on loopback, as a VISA holds one: each
// call one ONC RPC record (RFC 5531), its answer awaited with the event loop
// running, so that a server in this process gets to serve.
class Vxi11Client {
public:
    enum Procedure : std::uint32_t { CreateLink = 10, DeviceWrite = 11, DeviceRead = 12 };

    explicit Vxi11Client(quint16 port) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(5000);
        // create_link: client id, no lock, lock_timeout, "inst0".
        send(CreateLink, {0, 0, 0, 5, 0x696e7374, 0x30000000});
        m_link = result().value(1);
    }

    // device_write of message with END set; its answer comes with result().
    void startWrite(const QByteArray &message, std::uint32_t ioTimeoutMs = 1000) {
        std::vector<std::uint32_t> args{m_link, ioTimeoutMs, 0, 8, std::uint32_t(message.size())};
        for (qsizetype k = 0; k < message.size(); k += 4) {
            std::uint32_t word = 0;
            for (qsizetype b = k; b < k + 4; ++b)
                word = word << 8 | (b < message.size() ? std::uint8_t(message[b]) : 0);
            args.push_back(word);
        }
        send(DeviceWrite, args);
    }
    // device_read's data: io_timeout 1 s, up to 1 KiB, no termChar.
    QByteArray read() {
        send(DeviceRead, {m_link, 1024, 1000, 0, 0, 0});
        const QList<std::uint32_t> words = result();
        QByteArray data;
        for (qsizetype k = 3; k < words.size(); ++k) {
            const std::uint32_t word = qToBigEndian(words[k]);
            data.append(reinterpret_cast<const char *>(&word), 4);
        }
        return data.left(qsizetype(words.value(2)));
    }
    QByteArray ask(const QByteArray &message) {
        startWrite(message + '\n');
        result();
        return read().trimmed();
    }

    // Whether the answer to the call in flight has come, looked at now.
    bool answered() {
        m_received += m_socket.readAll();
        return m_received.size() >= 4 && m_received.size() >= 4 + recordLength();
    }
    // The words of the answer after accept_stat (the error first); none when
    // nothing comes within 10 s.
    QList<std::uint32_t> result() {
        if (!QTest::qWaitFor([this] { return answered(); }, 10000))
            return {};
        const qsizetype size = 4 + recordLength();
        QList<std::uint32_t> words;
        for (qsizetype at = 4 + 6 * 4; at < size; at += 4)
            words.push_back(qFromBigEndian<std::uint32_t>(m_received.constData() + at));
        m_received.remove(0, size);
        return words;
    }

private:
    void send(std::uint32_t procedure, const std::vector<std::uint32_t> &args) {
        std::vector<std::uint32_t> words{0, ++m_xid, 0, 2, 0x0607AF, 1, procedure, 0, 0, 0, 0};
        words.insert(words.end(), args.begin(), args.end());
        words[0] = 0x80000000u | std::uint32_t(4 * (words.size() - 1));
        QByteArray record;
        for (const std::uint32_t word : words) {
            const std::uint32_t wire = qToBigEndian(word);
            record.append(reinterpret_cast<const char *>(&wire), 4);
        }
        m_socket.write(record);
        m_socket.flush();
    }
    qsizetype recordLength() const {
        return qsizetype(qFromBigEndian<std::uint32_t>(m_received.constData()) & 0x7fffffffu);
    }

    QTcpSocket m_socket;
    QByteArray m_received;
    std::uint32_t m_xid = 0;
    std::uint32_t m_link = 0;
};
