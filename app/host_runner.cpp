// SPDX-License-Identifier: Apache-2.0
#include "app/host_runner.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

namespace varnok {
namespace {

// Whatever work throws is that slot's result, never the end of the run.
void run_one(size_t i, const std::function<void(size_t)>& work,
             const std::function<void(size_t, const std::string&)>& failed) {
    try {
        work(i);
    } catch (const std::exception& e) {
        failed(i, e.what());
    } catch (...) {
        failed(i, "the check ended with an unknown exception");
    }
}

}  // namespace

std::vector<CheckReport> failed_reports(const std::vector<CheckRequest>& requests,
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

void run_in_order(size_t count, int jobs, const std::function<void(size_t)>& work,
                  const std::function<void(size_t, const std::string&)>& failed,
                  const std::function<void(size_t)>& emit) {
    if (count == 0) return;
    struct Slot {
        bool done = false;
        std::exception_ptr lost;  ///< what failed itself threw
    };
    std::vector<Slot> slots(count);
    std::mutex mutex;
    std::condition_variable ready;
    size_t next = 0;
    // The caller's slots are written by one worker each and read only after done is seen under
    // the mutex, so the workers share nothing else.
    const auto worker = [&](const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            size_t i;
            {
                std::lock_guard lock(mutex);
                if (next >= count) return;
                i = next++;
            }
            std::exception_ptr lost;
            try {
                run_one(i, work, failed);
            } catch (...) {
                lost = std::current_exception();
            }
            {
                std::lock_guard lock(mutex);
                slots[i] = {true, lost};
            }
            ready.notify_one();
        }
    };
    // Declared after what the workers use, so that on every way out they stop and are joined
    // first.
    std::vector<std::jthread> threads;
    const size_t wanted = std::min(static_cast<size_t>(std::max(1, jobs)), count);
    threads.reserve(wanted);
    for (size_t t = 0; t < wanted; ++t) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            if (threads.empty()) throw;
            break;  // the threads there are take every slot in turn
        }
    }
    for (size_t i = 0; i < count; ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return slots[i].done; });
        const std::exception_ptr lost = slots[i].lost;
        lock.unlock();
        if (lost) std::rethrow_exception(lost);
        emit(i);
    }
}

void run_hosts(const std::vector<HostEntry>& hosts, const std::vector<CheckRequest>& rules,
               int jobs, const HostCheck& check, const HostReports& emit) {
    std::vector<std::vector<CheckReport>> reports(hosts.size());
    run_in_order(
        hosts.size(), jobs, [&](size_t i) { reports[i] = check(requests_for(hosts[i], rules)); },
        [&](size_t i, const std::string& text) {
            reports[i] = failed_reports(requests_for(hosts[i], rules), text);
        },
        [&](size_t i) {
            emit(reports[i]);
            reports[i] = {};  // a long run keeps only the hosts not yet written
        });
}

}  // namespace varnok
