// SPDX-License-Identifier: Apache-2.0
// What the settings form writes, the check reads back ("#" inside a value aside).
#include <cstdint>
#include <string>

#include "automation/automation_error.h"
#include "settings/base64.h"
#include "settings/codepage.h"
#include "settings/param_string.h"
#include "settings/text.h"
#include "state/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace varnok;
    if (size < 12) return 0;
    FormValues f;
    f.protocol = data[0] % 4 - 1;
    f.key_type = data[1] % 3 - 1;
    f.os = data[2] % 7 - 1;
    f.column = data[3] % 16 - 1;
    f.rule = data[4] % 3 - 1;
    f.instances = data[5] % 151 - 1;
    f.eol = data[6] % 4 - 1;
    f.wait = data[7] & 1;
    f.include_matches = data[7] & 2;
    f.port_text = std::to_string(data[8] | (data[9] << 8) % 32768);
    // The rest: user, password, key file and process, separated by NUL bytes.
    std::string texts[4];
    size_t k = 0;
    for (size_t i = 12; i < size && k < 4; ++i) {
        if (data[i] == 0)
            ++k;
        else if (data[i] != '#')
            texts[k] += static_cast<char>(data[i]);
    }
    f.username = to_valid_utf8(texts[0]);
    f.password = to_valid_utf8(texts[1]);
    f.key_file = to_valid_utf8(texts[2]);
    f.process = to_valid_utf8(texts[3]);

    const std::string written = write_parameter_string(f);
    fill_check_settings(Variant(), Variant(), Variant(written));
    const CheckSettingsRecord& s = CheckSettings;
    bool ok =
        s.Username == f.username && s.Password == cp1252_to_utf8(utf8_to_cp1252(f.password)) &&
        s.Protocol == protocol_code(f.protocol) && s.KeyFile == trim_spaces(f.key_file) &&
        s.KeyType == key_type_code(f.key_type) && s.OSType == os_code(f.os) &&
        s.Column == (f.column < 0 ? 0 : f.column + 1) && s.ProcessName == trim_spaces(f.process) &&
        s.RuleSign == rule_code(f.rule) && s.Instances == (f.instances < 0 ? 0 : f.instances + 1) &&
        s.EOLType == eol_code(f.eol) && s.AddWait == f.wait &&
        s.IncludeInOutput == f.include_matches && !s.FullOutput &&
        std::to_string(s.Port) == f.port_text;
    if (!ok) __builtin_trap();
    return 0;
}
