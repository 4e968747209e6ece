#include "app/check_runner.h"

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "automation/automation_error.h"
#include "check/varnok_com.h"
#include "state/state.h"

namespace varnok {

const char* status_name(PluginStatus status) {
    switch (status) {
        case PluginStatus::Ok:
            return "OK";
        case PluginStatus::Critical:
            return "CRITICAL";
        default:
            return "UNKNOWN";
    }
}

CheckOutcome run_check(const std::string& host, const std::string& timeout, const std::string& param) {
    CheckOutcome out;
    out.host = host;
    VarnokCom com;
    com.put_xc_hostname(Variant(host));
    com.put_xc_timeout(Variant(timeout));
    com.put_xc_parameter(Variant(param));
    try {
        out.passed = com.xc_docheck();
        out.text = variant_to_text(com.get_xc_result());
        // A false result without a listing means the check could not run.
        out.listing_ran = out.text.rfind("ERR: ", 0) != 0 && SessionState.ConnectError.empty();
        out.status = out.passed ? PluginStatus::Ok
                                : out.listing_ran ? PluginStatus::Critical : PluginStatus::Unknown;
        out.processes = out.listing_ran ? SessionState.LineCount : 0;
        out.matches = out.listing_ran ? com.last_match_count() : 0;
        out.rule = CheckSettings.RuleSign;
        out.instances = CheckSettings.Instances;
    } catch (const AutomationError& e) {
        out.status = PluginStatus::Unknown;
        out.error_number = e.number();
        out.error_text = e.what();
    }
    return out;
}

std::string nagios_range(const std::string& rule, int instances) {
    if (rule == "LT") return std::to_string(instances) + ":";
    return "~:" + std::to_string(instances - 1);
}

std::string nagios_line(const CheckOutcome& o) {
    std::string line = std::string("PROCS ") + status_name(o.status) + ": ";
    if (o.error_number != 0) {
        return line + "error " + std::to_string(o.error_number) + ": " + o.error_text;
    }
    line += o.text;
    if (o.listing_ran) {
        line += " | procs=" + std::to_string(o.processes) + ";;;0 matches=" + std::to_string(o.matches) +
                ";;" + nagios_range(o.rule, o.instances) + ";0";
    }
    return line;
}

std::string json_line(const CheckOutcome& o) {
    nlohmann::json j;
    j["host"] = o.host;
    j["passed"] = o.passed;
    j["status"] = status_name(o.status);
    if (o.error_number != 0) {
        j["error"] = {{"number", o.error_number}, {"description", o.error_text}};
    } else {
        j["result"] = o.text;
        j["processes"] = o.processes;
        j["matches"] = o.matches;
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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

void run_many(const std::vector<HostEntry>& hosts, const std::string& param, int jobs,
              const std::function<void(const CheckOutcome&)>& emit) {
    std::vector<CheckOutcome> outcomes(hosts.size());
    std::vector<bool> done(hosts.size(), false);
    std::mutex mutex;
    std::condition_variable ready;
    size_t next = 0;
    // Every check's state is per thread, so the workers share nothing but this queue.
    const auto worker = [&] {
        for (;;) {
            size_t i;
            {
                std::lock_guard lock(mutex);
                if (next >= hosts.size()) return;
                i = next++;
            }
            CheckOutcome o = run_check(hosts[i].host, hosts[i].timeout, param);
            {
                std::lock_guard lock(mutex);
                outcomes[i] = std::move(o);
                done[i] = true;
            }
            ready.notify_one();
        }
    };
    const size_t count = std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(std::max(1, jobs)), hosts.size()));
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (size_t t = 0; t < count; ++t) threads.emplace_back(worker);
    for (size_t i = 0; i < hosts.size(); ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return done[i]; });
        const CheckOutcome o = outcomes[i];
        lock.unlock();
        emit(o);
    }
    for (auto& t : threads) t.join();
}

}  // namespace varnok
