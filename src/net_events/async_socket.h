#pragma once

#include "net_events/custom_sync_socket.h"

namespace lumenpost {

// The asynchronous connection with everything published: byte and line
// reception, the send queue, listening and connecting.
class TAsyncSocket : public TCustomSyncSocket {};

} // namespace lumenpost
