#pragma once

#include <QLabel>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QEvent;
class QuorvexControlPanel;

// Stands between the person at the window and the scripts served through it,
// so that neither runs inside the other:
// - a remote line never runs inside a user's handler: lines wait while one
//   runs; while a message box is open they run, the queries answering at
//   once and a command that would act waiting for the box (busyWith());
// - a user's input never runs inside a remote line: input that arrives while
//   a remote action yields (Update's yield) is held, paint and timers going
//   on, and delivered in order once the action has returned;
// - the window shows how many clients are connected, and nothing when none
//   are.
class RemoteArbiter : public QObject {
public:
    explicit RemoteArbiter(QuorvexControlPanel &window);
    ~RemoteArbiter() override;

    RemoteArbiter(const RemoteArbiter &) = delete;
    RemoteArbiter &operator=(const RemoteArbiter &) = delete;

    // Whether a remote line may start now: the server's gate.
    bool linesMayRun() const;
    // What a remote action would wait for now, or nothing.
    std::string busyWith() const;
    // Runs a remote action with the person's input held until it returns.
    void runRemote(const std::function<void()> &action);
    // The number of clients connected, shown beside the menus.
    void showClients(int count);

    // The text beside the menus, or nothing while none is shown.
    QLabel *clientsLabel() const { return m_clients; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void customEvent(QEvent *event) override;

private:
    void deliverHeld();

    QuorvexControlPanel &m_window;
    int m_remote = 0; // remote actions running, nested in yields
    bool m_delivering = false;
    std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QEvent>>> m_held;
    QPointer<QLabel> m_clients;
};
