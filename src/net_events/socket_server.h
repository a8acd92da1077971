#pragma once

#include "net_events/custom_socket_server.h"

namespace lumenpost {

// The listening server with its banners, client limit and client events.
class TSocketServer : public TCustomSocketServer {};

} // namespace lumenpost
