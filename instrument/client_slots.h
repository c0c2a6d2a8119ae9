#pragma once

#include <QObject>
#include <QString>

// The places for clients that every server of one program shares (--max-
// clients): a raw socket connection takes one as it is accepted and gives it
// back as it ends, as does any other transport's link, so the limit holds for
// all of them together.
class ClientSlots : public QObject {
    Q_OBJECT

public:
    static constexpr int DefaultCapacity = 16;
    static constexpr int CapacityLimit = 1000;

    explicit ClientSlots(int capacity = DefaultCapacity, QObject *parent = nullptr)
        : QObject(parent)
        , m_capacity(capacity) {}

    // Takes a place; false when every place is taken.
    bool take();
    void give();

    int used() const { return m_used; }
    int capacity() const { return m_capacity; }

    // The one line a client refused for want of a place gets before the close:
    // why, and how to change it.
    QByteArray refusal() const;

    // A peer that vanished (a crash, a cable, a sleeping laptop) gives its
    // place back within about a minute rather than never: the connection is
    // probed after KeepIdleSeconds of silence, then every KeepIntervalSeconds,
    // KeepCount times.
    static void probeWhenSilent(int descriptor);
    static constexpr int KeepIdleSeconds = 30;
    static constexpr int KeepIntervalSeconds = 5;
    static constexpr int KeepCount = 6;

signals:
    // The number of clients holding a place, after each change.
    void changed(int used);

private:
    int m_capacity;
    int m_used = 0;
};
