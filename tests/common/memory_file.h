#pragma once

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace lumenpost {

// A memory file holding `text`, sealed against change as --sendmail hands messages over
// (or left open to change with `sealed` false).
inline UniqueFd MemoryFile(std::string_view text, bool sealed = true) {
    UniqueFd file(memfd_create("test-message", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (write(file.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        return UniqueFd();
    }
    if (sealed) {
        fcntl(file.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    }
    return file;
}

} // namespace lumenpost
