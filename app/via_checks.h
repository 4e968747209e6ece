// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "app/host_runner.h"

namespace varnok {

/// A host's check through `varnok serve` at socket: the daemon runs the host's rules on the
/// session it holds and sends their reports, so that the caller writes a hosts file's output
/// and the engine's pipe itself, as a direct run does. When the daemon cannot take it, direct
/// checks the host, its first report warning why, as a lone `check --via` does; when the daemon
/// does not answer and no_fallback is set, or too little of the time limit is left, each rule
/// of the host is UNKNOWN with the reason.
HostCheck via_host_check(const std::string& socket, bool no_fallback, HostCheck direct);

}  // namespace varnok
