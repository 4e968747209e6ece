// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <string>

namespace varnok {

/// The time limit of a session for its timeout text, read as the check reads it: 30 seconds for
/// 0, a negative number, or a text the check refuses.
std::chrono::seconds time_limit(const std::string& timeout_text);

/// One line of an engine's external command file: "[TIME] PROCESS_SERVICE_CHECK_RESULT;HOST;
/// SERVICE;CODE;OUTPUT"; a line end in the output becomes a space.
std::string passive_result_line(const std::string& host, const std::string& service, int code,
                                std::string output, long long unix_time);

/// Appends lines to an engine's command file or FIFO ("-": standard output). A FIFO without a
/// reader is retried, and a full one waited for, only until the deadline. Returns "" once all
/// is written, else why not.
std::string write_passive(const std::string& path, const std::string& lines,
                          std::chrono::steady_clock::time_point deadline);

}  // namespace varnok
