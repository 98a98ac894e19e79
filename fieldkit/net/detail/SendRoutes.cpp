// SPDX-License-Identifier: MIT
#include "SendRoutes.h"

#include <new>
#include <mutex>
#include <shared_mutex>

namespace fieldkit::detail {

namespace {

struct Routes {
    std::shared_mutex lock;
    SendRoute* first = nullptr;  // the serving servers' routes
};

Routes& routes()
{
    // Built in place on first use and never destroyed, so a server with static
    // storage may stop after it at exit; it allocates nothing.
    alignas(Routes) static unsigned char storage[sizeof(Routes)];
    static Routes* table = new (storage) Routes;
    return *table;
}

}  // namespace

void add_route(const JSocket* server, SendRoute* route)
{
    Routes& table = routes();
    std::unique_lock<std::shared_mutex> guard(table.lock);
    if (route->server_)
        return;
    route->server_ = server;
    route->next_ = table.first;
    table.first = route;
}

void remove_route(SendRoute* route)
{
    Routes& table = routes();
    std::unique_lock<std::shared_mutex> guard(table.lock);
    for (SendRoute** link = &table.first; *link; link = &(*link)->next_)
        if (*link == route) {
            *link = route->next_;
            break;
        }
    route->server_ = nullptr;
    route->next_ = nullptr;
}

bool route_send(const JSocket* server, int fd, const char* buf, unsigned long len, int* result)
{
    Routes& table = routes();
    std::shared_lock<std::shared_mutex> guard(table.lock);
    for (SendRoute* route = table.first; route; route = route->next_)
        if (route->server_ == server)
            return route->send(fd, buf, len, result);
    return false;
}

}  // namespace fieldkit::detail
