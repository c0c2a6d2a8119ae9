#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The instrument's services announced on the network by DNS-SD, through the
// system's mDNS daemon (Avahi, over the system D-Bus), from a thread of
// Avahi's own. The name is renamed on a collision, as Avahi asks; the
// announcements are withdrawn when this goes.
class DnsSdAnnouncement {
public:
    struct Service {
        std::string type; // "_vxi-11._tcp"
        unsigned short port;
    };

    // say: a line for the user, called from Avahi's thread too.
    explicit DnsSdAnnouncement(std::function<void(const std::string &)> say);
    ~DnsSdAnnouncement();
    DnsSdAnnouncement(const DnsSdAnnouncement &) = delete;
    DnsSdAnnouncement &operator=(const DnsSdAnnouncement &) = delete;

    // Announces services under name, each with the TXT strings txt ("key=value"),
    // on one interface (by index, or -1 for all) and protocol (0 IPv4, 1
    // IPv6, -1 both). Where the daemon or the bus cannot be reached, says so
    // and returns false.
    bool start(std::string name, std::vector<Service> services, std::vector<std::string> txt,
               int interface, int protocol);

    struct State;

private:
    std::unique_ptr<State> m_state;
};
