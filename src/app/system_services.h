#pragma once

#include "relay/relay_pass.h"

#include <string>

namespace lumenpost {

// What the relay passes reach on this machine: the DNS client, the SMTP client, the
// alert tones on ALSA and the local clock. The one place where the relay meets the system.
// The relay host's password is not among them: RelayApp holds it.
RelayServices SystemRelayServices();

// This machine's clock in Unix seconds.
std::int64_t UnixNow();

// The name our Received lines give this machine: its host name, "localhost" when it
// has none.
std::string ThisMachineName();

} // namespace lumenpost
