#include "panel/window/remote_arbiter.h"

#include "panel/window/control_panel_window.h"

#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScopedValueRollback>
#include <QWindow>

namespace {

// Posted to the arbiter when a remote action that held input has returned.
const QEvent::Type DeliverHeld = QEvent::Type(QEvent::registerEventType());

// What a person does with the mouse, keys, a pen or a touch screen. A window
// receives it first, before the widget under it or with the focus.
bool isUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::ContextMenu:
        return true;
    default:
        return false;
    }
}

} // namespace

RemoteArbiter::RemoteArbiter(QuorvexControlPanel &window)
    : m_window(window) {
    QCoreApplication::instance()->installEventFilter(this);
}

RemoteArbiter::~RemoteArbiter() {
    QCoreApplication::instance()->removeEventFilter(this);
    if (m_clients) {
        m_window.menuBar()->setCornerWidget(nullptr, Qt::TopRightCorner);
        delete m_clients;
    }
}

bool RemoteArbiter::linesMayRun() const {
    return !m_window.busy() || m_window.boxOpen();
}

std::string RemoteArbiter::busyWith() const {
    if (!m_window.busy())
        return {};
    return m_window.boxOpen() ? "a message box is open on the panel; the person there closes it"
                              : "the panel is busy";
}

void RemoteArbiter::runRemote(const std::function<void()> &action) {
    const struct Depth {
        RemoteArbiter &arbiter;
        Depth(RemoteArbiter &a)
            : arbiter(a) {
            ++arbiter.m_remote;
        }
        ~Depth() {
            // Delivered from the event loop, once the line has returned: a
            // later command of the same line holds them again meanwhile.
            if (--arbiter.m_remote == 0 && !arbiter.m_held.empty())
                QCoreApplication::postEvent(&arbiter, new QEvent(DeliverHeld));
        }
    } depth{*this};
    action();
}

bool RemoteArbiter::eventFilter(QObject *watched, QEvent *event) {
    // Input that comes after the action, while what was held waits to be
    // delivered, waits behind it: a release never overtakes its press. What
    // is delivered, and what comes in a box it opens, passes.
    if ((m_remote == 0 && m_held.empty()) || m_delivering)
        return false;
    // A key press is offered to the shortcuts (Alt+A for About) before any
    // window sees it; refused here, it comes to the window as a key press.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    if (!watched->isWindowType() || !isUserInput(event->type()))
        return false;
    m_held.emplace_back(watched, std::unique_ptr<QEvent>(event->clone()));
    return true;
}

void RemoteArbiter::customEvent(QEvent *event) {
    if (event->type() == DeliverHeld)
        deliverHeld();
}

void RemoteArbiter::deliverHeld() {
    // In the order they came, each once what came before it has been handled.
    const QScopedValueRollback delivering(m_delivering, true);
    while (m_remote == 0 && !m_held.empty()) {
        auto [receiver, held] = std::move(m_held.front());
        m_held.erase(m_held.begin());
        if (receiver)
            QCoreApplication::sendEvent(receiver, held.get());
    }
}

void RemoteArbiter::showClients(int count) {
    if (count > 0 && !m_clients) {
        m_clients = new QLabel(m_window.menuBar());
        m_clients->setObjectName(QStringLiteral("remoteClients"));
        m_clients->setFont(m_window.menuBar()->font());
        m_window.menuBar()->setCornerWidget(m_clients, Qt::TopRightCorner);
    }
    if (!m_clients)
        return;
    m_clients->setText(count == 1 ? QStringLiteral("1 remote client ")
                                  : QStringLiteral("%1 remote clients ").arg(count));
    m_clients->setToolTip(QStringLiteral("Scripts connected through --listen; the panel runs "
                                         "their commands between your own actions"));
    m_clients->setVisible(count > 0);
}
