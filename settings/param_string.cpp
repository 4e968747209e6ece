// SPDX-License-Identifier: Apache-2.0
#include "settings/param_string.h"

#include <cmath>
#include <cstdio>

#include "automation/number_text.h"
#include "settings/base64.h"
#include "settings/text.h"
#include "state/state.h"

namespace varnok {
namespace {

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The port is written without a range test, so it is not squeezed into 16 bits.
std::string plain_number(double value) {
    const double r = std::nearbyint(value);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f", std::isfinite(r) ? r : 0.0);
    return std::string(buf) == "-0" ? "0" : buf;
}

void fill_settings(CheckSettingsRecord& s, const Variant& timeout, const Variant& hostname,
                   const Variant& parameter) {
    s.TimeoutSeconds = variant_to_int16(timeout);
    s.Hostname = variant_to_text(hostname);
    const std::string text = variant_to_text(parameter);
    const auto get = [&](std::string_view key) { return GetParamValue(text, key); };
    s.Username = get("USR");
    s.Password = DecodePassword(get("PWD"));
    s.Protocol = get("PROTO");
    s.Port = number_value(get("PORT"));
    s.KeyFile = get("KEYF");
    s.KeyType = get("KEYT");
    s.OSType = get("OS");
    s.Column = number_value(get("COL"));
    s.ProcessName = get("PRO");
    s.RuleSign = get("SGN");
    s.Instances = number_value(get("NUM"));
    s.FullOutput = flag_value(get("FULL"));
    s.EOLType = get("EOL");
    s.DebugLog = flag_value(get("DEBUG"));
    s.AddWait = flag_value(get("WAIT"));
    s.IncludeInOutput = flag_value(get("INPL"));
}

}  // namespace

std::string GetParamValue(std::string_view text, std::string_view key) {
    std::string needle = "#";
    for (const char c : trim_spaces(key)) needle += ascii_upper(c);
    needle += '=';
    std::string upper(text);
    for (char& c : upper) c = ascii_upper(c);

    const size_t hash = upper.find(needle);
    if (hash == std::string::npos) return {};
    const size_t start = hash + needle.size();
    size_t end = upper.find('#', hash + 1);
    if (end == std::string::npos) end = text.size();
    if (end < start) return {};
    return std::string(text.substr(start, end - start));
}

bool flag_value(std::string_view value) { return value == "T"; }

int16_t number_value(std::string_view value) { return round_to_int16(leading_number(value)); }

void fill_check_settings(const Variant& timeout, const Variant& hostname,
                         const Variant& parameter) {
    fill_settings(CheckSettings, timeout, hostname, parameter);
}

CheckSettingsRecord decode_check_settings(const Variant& timeout, const Variant& hostname,
                                          const Variant& parameter) {
    CheckSettingsRecord s;
    fill_settings(s, timeout, hostname, parameter);
    return s;
}

std::string write_parameter_string(const FormValues& f) {
    std::string out;
    out += "#ENC=T#USR=" + f.username;
    out += "#PWD=" + EncodePassword(f.password);
    out += "#PROTO=" + protocol_code(f.protocol);
    out += "#PORT=" + plain_number(leading_number(f.port_text));
    out += "#KEYF=" + std::string(trim_spaces(f.key_file));
    out += "#KEYT=" + key_type_code(f.key_type);
    out += "#OS=" + os_code(f.os);
    out += "#COL=" + std::to_string(f.column < 0 ? 0 : f.column + 1);
    out += "#PRO=" + std::string(trim_spaces(f.process));
    out += "#SGN=" + rule_code(f.rule);
    out += "#NUM=" + std::to_string(f.instances < 0 ? 0 : f.instances + 1);
    out += "#EOL=" + eol_code(f.eol);
    out += "#FULL=N#WAIT=" + std::string(f.wait ? "T" : "F");
    out += "#INPL=" + std::string(f.include_matches ? "T" : "F");
    out += "#";
    return out;
}

}  // namespace varnok
