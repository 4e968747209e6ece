// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <vector>

#include "procs/listing.h"

namespace varnok::procs {

/// Marks the rows of this check's own login: the shell whose pid is shell_pid, every process
/// below it (the listing), and the sshd processes above it that serve this connection; the
/// listening sshd is not marked. Nothing is marked without a shell pid.
std::vector<bool> own_session(const std::vector<ProcRow>& rows, std::optional<long long> shell_pid);

}  // namespace varnok::procs
