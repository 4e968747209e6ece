// SPDX-License-Identifier: Apache-2.0
#include "app/passive.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

#include "automation/automation_error.h"
#include "automation/file_descriptor.h"
#include "automation/variant.h"

namespace varnok {

std::chrono::seconds time_limit(const std::string& timeout_text) {
    return std::chrono::seconds(time_limit_seconds(timeout_text));
}

std::string passive_result_line(const std::string& host, const std::string& service, int code,
                                std::string output, long long unix_time) {
    // The external command file takes one command a line.
    std::replace_if(
        output.begin(), output.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return "[" + std::to_string(unix_time) + "] PROCESS_SERVICE_CHECK_RESULT;" + host + ";" +
           service + ";" + std::to_string(code) + ";" + output + "\n";
}

std::string write_passive(const std::string& path, const std::string& lines,
                          std::chrono::steady_clock::time_point deadline) {
    if (path == "-") {
        std::cout << lines << std::flush;
        return {};
    }
    const auto ms_left = [deadline] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    };
    FileDescriptor pipe;
    while (!(pipe = FileDescriptor(
                 ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC)))) {
        if (errno != ENXIO || ms_left() == 0)
            return "cannot open " + path + ": " + std::strerror(errno);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(50, ms_left())));  // no reader yet
    }
    const int fd = pipe.get();
    size_t done = 0;
    std::string error;
    while (done < lines.size() && error.empty()) {
        const ssize_t n = ::write(fd, lines.data() + done, lines.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, ms_left()) == 0) error = "timed out writing to " + path;
        } else if (!(n < 0 && errno == EINTR)) {
            error = "cannot write to " + path + ": " + std::strerror(errno);
        }
    }
    return error;
}

}  // namespace varnok
