#pragma once

// Serves a stream of whole lines to up to kMaxClients TCP clients at once, in feedclient's wait loop and
// without ever waiting on one (ClientQueue). What clients send is read and dropped.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "feed/Platform.h"
#include "serve/ClientQueue.h"
#include "serve/Listener.h"
#include "system/WaitLoop.h"

class LineServer : public Waiter {
public:
    // `name` starts the notices on standard error ("relay"), `unit` counts the dropped entries ("lines").
    LineServer(std::string name, std::string unit)
        : name(std::move(name)), unit(std::move(unit)), listener(this->name) {}
    ~LineServer() override;
    LineServer(const LineServer &) = delete;
    LineServer &operator=(const LineServer &) = delete;

    // Listens on `port` of every local IPv4 address (0: a port the system picks). False, with `error`
    // set, if it cannot.
    bool listen(int port, std::string &error) { return listener.listen(port, error); }
    int port() const { return listener.port(); }

    // Sends `entry`, one or more whole lines, to every client, or queues what a client's socket does not take.
    void publish(std::string_view entry);

    // The listener, then one socket a client.
    void addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const override;
    // Takes new clients, notices the ones that left and sends what waits. The wait loop calls it before
    // anything is published after the wait.
    void serve(const WSAPOLLFD *entries) override;

    const std::string &serverName() const { return name; }
    std::size_t clientCount() const { return clients.size(); }
    // The entries dropped so far, for the clients gone and those still served.
    unsigned long dropped() const;
    // The most entries waiting for any one client.
    std::size_t mostWaiting() const;

private:
    struct Client {
        SOCKET socket;
        std::string address;
        ClientQueue queue;
    };

    void acceptClients();
    // Closes the client's connection and says why and what it missed; removeDropped then forgets it.
    void drop(Client &client, const std::string &why);
    void removeDropped();

    const std::string name, unit;
    Listener listener;
    std::vector<Client> clients;
    unsigned long droppedForGone = 0;
};
