#include "app/check_runner.h"

#include <cmath>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "automation/automation_error.h"
#include "check/frmmain.h"
#include "check/varnok_com.h"
#include "settings/param_string.h"
#include "state/state.h"

namespace varnok {

const char* status_name(PluginStatus status) {
    switch (status) {
        case PluginStatus::Ok:
            return "OK";
        case PluginStatus::Warning:
            return "WARNING";
        case PluginStatus::Critical:
            return "CRITICAL";
        default:
            return "UNKNOWN";
    }
}

namespace {

// A plain decimal number of a range; nothing else may stand around it.
bool range_number(const std::string& text, double& value) {
    if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string::npos) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

// The outcome of the check com just ran.
CheckOutcome outcome_of(VarnokCom& com, const std::string& host, const Rule& rule, bool passed,
                        const Thresholds& thresholds) {
    CheckOutcome out;
    out.host = host;
    out.rule_name = rule.name;
    out.passed = passed;
    out.text = variant_to_text(com.get_xc_result());
    // A false result without a listing means the check could not run.
    out.listing_ran = out.text.rfind("ERR: ", 0) != 0 && SessionState.ConnectError.empty();
    out.processes = out.listing_ran ? SessionState.LineCount : 0;
    out.matches = out.listing_ran ? com.last_match_count() : 0;
    out.rule = CheckSettings.RuleSign;
    out.instances = CheckSettings.Instances;
    out.thresholds = thresholds;
    if (!out.listing_ran) {
        out.status = PluginStatus::Unknown;
    } else if (thresholds.any()) {
        const auto alerts = [&out](const std::optional<ThresholdRange>& r) {
            return r && range_alerts(*r, out.matches);
        };
        out.status = alerts(thresholds.critical)  ? PluginStatus::Critical
                     : alerts(thresholds.warning) ? PluginStatus::Warning
                                                  : PluginStatus::Ok;
    } else {
        out.status = passed ? PluginStatus::Ok : PluginStatus::Critical;
    }
    return out;
}

// The settings that decide what a listing is; rules that agree on them can share one.
std::optional<std::string> connection_key(const std::string& host, const std::string& timeout,
                                          const std::string& param) {
    try {
        fill_check_settings(Variant(timeout), Variant(host), Variant(param));
    } catch (const AutomationError&) {
        return std::nullopt;
    }
    const CheckSettingsRecord& s = CheckSettings;
    std::string key;
    for (const std::string* field :
         {&s.Hostname, &s.Username, &s.Password, &s.Protocol, &s.KeyFile, &s.KeyType, &s.OSType}) {
        key += *field;
        key += '\0';
    }
    return key + std::to_string(s.TimeoutSeconds) + '\0' + std::to_string(s.Port) +
           (s.AddWait ? "W" : "");
}

}  // namespace

ThresholdRange parse_range(const std::string& text) {
    ThresholdRange r;
    r.text = text;
    std::string body = text;
    if (!body.empty() && body.front() == '@') {
        r.inside = true;
        body.erase(0, 1);
    }
    const size_t colon = body.find(':');
    const std::string start = colon == std::string::npos ? "" : body.substr(0, colon);
    const std::string end = colon == std::string::npos ? body : body.substr(colon + 1);
    const double infinity = std::numeric_limits<double>::infinity();
    bool ok = !body.empty() &&
              body.find(':', colon == std::string::npos ? 0 : colon + 1) == std::string::npos;
    if (start == "~")
        r.start = -infinity;
    else if (!start.empty())
        ok = ok && range_number(start, r.start);
    if (end.empty())
        r.end = infinity;
    else
        ok = ok && range_number(end, r.end);
    if (!ok || r.start > r.end) {
        throw std::invalid_argument("the range '" + text +
                                    "' is not [@][start:][end] with start <= end "
                                    "(e.g. 1:3, 2:, ~:5, @0:1)");
    }
    return r;
}

bool range_alerts(const ThresholdRange& r, double value) {
    const bool inside = value >= r.start && value <= r.end;
    return r.inside ? inside : !inside;
}

CheckOutcome run_check(const std::string& host, const std::string& timeout,
                       const std::string& param, const Thresholds& thresholds,
                       const HostKeyPolicy& host_keys) {
    return run_rules(host, timeout, {Rule{"", param}}, thresholds, host_keys).front();
}

std::vector<CheckOutcome> run_rules(const std::string& host, const std::string& timeout,
                                    const std::vector<Rule>& rules, const Thresholds& thresholds,
                                    const HostKeyPolicy& host_keys) {
    std::vector<CheckOutcome> outcomes;
    std::map<std::string, VarnokCom::Listing> listings;
    for (const Rule& rule : rules) {
        const std::optional<std::string> key = connection_key(host, timeout, rule.param);
        const auto shared = key ? listings.find(*key) : listings.end();
        VarnokCom com;
        com.form().host_keys = host_keys;
        com.put_xc_hostname(Variant(host));
        com.put_xc_timeout(Variant(timeout));
        com.put_xc_parameter(Variant(rule.param));
        try {
            const bool passed =
                shared != listings.end() ? com.docheck_on(shared->second) : com.xc_docheck();
            outcomes.push_back(outcome_of(com, host, rule, passed, thresholds));
            if (VarnokCom::Listing listing = com.last_listing(); key && listing.taken) {
                listings.emplace(*key, std::move(listing));
            }
        } catch (const AutomationError& e) {
            CheckOutcome out;
            out.host = host;
            out.rule_name = rule.name;
            out.error_number = e.number();
            out.error_text = e.what();
            outcomes.push_back(std::move(out));
        }
    }
    return outcomes;
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
        const Thresholds& t = o.thresholds;
        line += " | procs=" + std::to_string(o.processes) +
                ";;;0 matches=" + std::to_string(o.matches) + ";" +
                (t.any() ? (t.warning ? t.warning->text : "") + ";" +
                               (t.critical ? t.critical->text : "")
                         : ";" + nagios_range(o.rule, o.instances)) +
                ";0";
    }
    return line;
}

std::string json_line(const CheckOutcome& o) {
    nlohmann::json j;
    j["host"] = o.host;
    if (!o.rule_name.empty()) j["rule"] = o.rule_name;
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

void run_many(const std::vector<HostEntry>& hosts, const std::vector<Rule>& rules,
              const Thresholds& thresholds, const HostKeyPolicy& host_keys, int jobs,
              const std::function<void(const std::vector<CheckOutcome>&)>& emit) {
    std::vector<std::vector<CheckOutcome>> outcomes(hosts.size());
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
            std::vector<CheckOutcome> o =
                run_rules(hosts[i].host, hosts[i].timeout, rules, thresholds, host_keys);
            {
                std::lock_guard lock(mutex);
                outcomes[i] = std::move(o);
                done[i] = true;
            }
            ready.notify_one();
        }
    };
    const size_t count =
        std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(std::max(1, jobs)), hosts.size()));
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (size_t t = 0; t < count; ++t) threads.emplace_back(worker);
    for (size_t i = 0; i < hosts.size(); ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return done[i]; });
        const std::vector<CheckOutcome> o = std::move(outcomes[i]);
        lock.unlock();
        emit(o);
    }
    for (auto& t : threads) t.join();
}

std::string passive_result_line(const CheckOutcome& o, const std::string& host,
                                long long unix_time) {
    // The external command file takes one command a line.
    std::string output = nagios_line(o);
    for (char& c : output) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return "[" + std::to_string(unix_time) + "] PROCESS_SERVICE_CHECK_RESULT;" + host + ";" +
           o.rule_name + ";" + std::to_string(static_cast<int>(o.status)) + ";" + output + "\n";
}

}  // namespace varnok
