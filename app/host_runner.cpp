// SPDX-License-Identifier: Apache-2.0
#include "app/host_runner.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

namespace varnok {
namespace {

std::vector<CheckReport> failed(const std::vector<CheckRequest>& requests,
                                const std::string& text) {
    std::vector<CheckReport> reports;
    for (const CheckRequest& r : requests) {
        CheckReport report;
        report.host = r.host;
        report.rule_name = r.rule_name;
        report.failure = FailureKind::Call;
        report.text = text;
        reports.push_back(std::move(report));
    }
    return reports;
}

// Whatever a check throws is that host's result, never the end of the run.
std::vector<CheckReport> check_host(const HostEntry& host, const std::vector<CheckRequest>& rules,
                                    const HostCheck& check) {
    const std::vector<CheckRequest> requests = requests_for(host, rules);
    try {
        return check(requests);
    } catch (const std::exception& e) {
        return failed(requests, e.what());
    } catch (...) {
        return failed(requests, "the check ended with an unknown exception");
    }
}

}  // namespace

std::vector<HostEntry> parse_hosts(const std::string& text, const std::string& default_timeout) {
    std::vector<HostEntry> hosts;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        HostEntry entry;
        if (!(words >> entry.host)) continue;
        if (!(words >> entry.timeout)) entry.timeout = default_timeout;
        hosts.push_back(entry);
    }
    return hosts;
}

std::vector<CheckRequest> requests_for(const HostEntry& host,
                                       const std::vector<CheckRequest>& rules) {
    std::vector<CheckRequest> requests = rules;
    for (CheckRequest& r : requests) {
        r.host = host.host;
        r.timeout = host.timeout;
    }
    return requests;
}

void run_hosts(const std::vector<HostEntry>& hosts, const std::vector<CheckRequest>& rules,
               int jobs, const HostCheck& check, const HostReports& emit) {
    struct Slot {
        std::vector<CheckReport> reports;
        bool done = false;
    };
    std::vector<Slot> slots(hosts.size());
    std::mutex mutex;
    std::condition_variable ready;
    size_t next = 0;
    // Every check's state is per thread, so the workers share nothing but the slots.
    const auto worker = [&](const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            size_t i;
            {
                std::lock_guard lock(mutex);
                if (next >= hosts.size()) return;
                i = next++;
            }
            std::vector<CheckReport> reports = check_host(hosts[i], rules, check);
            {
                std::lock_guard lock(mutex);
                slots[i] = {std::move(reports), true};
            }
            ready.notify_one();
        }
    };
    // Declared after what the workers use, so that on every way out they stop and are joined
    // first.
    std::vector<std::jthread> threads;
    const size_t count = std::clamp<size_t>(static_cast<size_t>(std::max(1, jobs)), 1,
                                            std::max<size_t>(1, hosts.size()));
    threads.reserve(count);
    for (size_t t = 0; t < count; ++t) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            if (threads.empty()) throw;
            break;  // the threads there are take every host in turn
        }
    }
    for (size_t i = 0; i < hosts.size(); ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return slots[i].done; });
        const std::vector<CheckReport> reports = std::move(slots[i].reports);
        lock.unlock();
        emit(reports);
    }
}

}  // namespace varnok
