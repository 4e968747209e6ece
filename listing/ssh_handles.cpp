// SPDX-License-Identifier: Apache-2.0
#include "listing/ssh_handles.h"

#include <libssh/callbacks.h>

namespace varnok {
namespace {

// libssh keeps its log callback per thread.
void capture_log(int, const char*, const char* buffer, void*) {
    if (buffer != nullptr) last_ssh_log() = buffer;
}

}  // namespace

std::string& last_ssh_log() {
    thread_local std::string message;
    return message;
}

void init_ssh_library() {
    static const int started = ssh_init();
    (void)started;
    thread_local const bool logging = [] {
        ssh_set_log_callback(capture_log);
        ssh_set_log_level(SSH_LOG_WARN);
        return true;
    }();
    (void)logging;
}

}  // namespace varnok
