#include "instrument/dns_sd_announcement.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

struct DnsSdAnnouncement::State {
    std::function<void(const std::string &)> say;
    std::string name;
    std::vector<Service> services;
    std::vector<std::string> txt;
    int interface = AVAHI_IF_UNSPEC;
    int protocol = AVAHI_PROTO_UNSPEC;
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
};

namespace {

using State = DnsSdAnnouncement::State;

void rename(State &state) {
    char *other = avahi_alternative_service_name(state.name.c_str());
    state.say("DNS-SD: '" + state.name + "' is taken on the network; announcing as '" + other +
              "'");
    state.name = other;
    avahi_free(other);
}

void announce(State &state);

void groupChanged(AvahiEntryGroup *group, AvahiEntryGroupState change, void *data) {
    State &state = *static_cast<State *>(data);
    state.group = group;
    if (change == AVAHI_ENTRY_GROUP_COLLISION) {
        rename(state);
        announce(state);
    } else if (change == AVAHI_ENTRY_GROUP_FAILURE) {
        state.say(std::string("DNS-SD: the announcement failed: ") +
                  avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
}

void announce(State &state) {
    if (!state.group &&
        !(state.group = avahi_entry_group_new(state.client, groupChanged, &state))) {
        state.say(std::string("DNS-SD: cannot announce: ") +
                  avahi_strerror(avahi_client_errno(state.client)));
        return;
    }
    avahi_entry_group_reset(state.group);
    AvahiStringList *txt = nullptr;
    for (auto entry = state.txt.rbegin(); entry != state.txt.rend(); ++entry)
        txt = avahi_string_list_add(txt, entry->c_str());
    int error = AVAHI_OK;
    for (const DnsSdAnnouncement::Service &service : state.services) {
        error = avahi_entry_group_add_service_strlst(
            state.group, state.interface, state.protocol, AvahiPublishFlags(0), state.name.c_str(),
            service.type.c_str(), nullptr, nullptr, service.port, txt);
        if (error != AVAHI_OK)
            break;
    }
    avahi_string_list_free(txt);
    if (error == AVAHI_ERR_COLLISION) {
        rename(state);
        return announce(state);
    }
    if (error == AVAHI_OK)
        error = avahi_entry_group_commit(state.group);
    if (error != AVAHI_OK)
        state.say(std::string("DNS-SD: cannot announce: ") + avahi_strerror(error));
}

void clientChanged(AvahiClient *client, AvahiClientState change, void *data) {
    State &state = *static_cast<State *>(data);
    state.client = client;
    switch (change) {
    case AVAHI_CLIENT_S_RUNNING:
        announce(state);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name is being settled: announce again once it is.
        if (state.group)
            avahi_entry_group_reset(state.group);
        break;
    case AVAHI_CLIENT_FAILURE:
        state.say(std::string("DNS-SD: the mDNS daemon went away (") +
                  avahi_strerror(avahi_client_errno(client)) +
                  "); the instrument is no longer announced");
        break;
    case AVAHI_CLIENT_CONNECTING:
        break;
    }
}

} // namespace

DnsSdAnnouncement::DnsSdAnnouncement(std::function<void(const std::string &)> say)
    : m_state(std::make_unique<State>()) {
    m_state->say = std::move(say);
}

DnsSdAnnouncement::~DnsSdAnnouncement() {
    if (!m_state->poll)
        return;
    // Freeing the client frees its group: the daemon withdraws the services.
    avahi_threaded_poll_stop(m_state->poll);
    if (m_state->client)
        avahi_client_free(m_state->client);
    avahi_threaded_poll_free(m_state->poll);
}

bool DnsSdAnnouncement::start(std::string name, std::vector<Service> services,
                              std::vector<std::string> txt, int interface, int protocol) {
    State &state = *m_state;
    state.name = std::move(name);
    state.services = std::move(services);
    state.txt = std::move(txt);
    state.interface = interface;
    state.protocol = protocol;
    if (!(state.poll = avahi_threaded_poll_new())) {
        state.say("not announced by DNS-SD: out of memory");
        return false;
    }
    int error = AVAHI_OK;
    // Its first callbacks run here, before Avahi's thread starts.
    state.client = avahi_client_new(avahi_threaded_poll_get(state.poll), AvahiClientFlags(0),
                                    clientChanged, &state, &error);
    if (!state.client) {
        state.say(std::string("not announced by DNS-SD: ") + avahi_strerror(error) +
                  " (the mDNS daemon avahi-daemon and the system D-Bus announce the "
                  "instrument: install and start them, or leave it out with --no-dns-sd)");
        avahi_threaded_poll_free(state.poll);
        state.poll = nullptr;
        return false;
    }
    avahi_threaded_poll_start(state.poll);
    return true;
}
