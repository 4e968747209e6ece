// SPDX-License-Identifier: Apache-2.0
#include "listing/session_driver.h"

#include <ctime>
#include <exception>

#include "listing/event_pump.h"
#include "listing/lines.h"
#include "settings/codepage.h"
#include "state/defaults.h"
#include "state/state.h"

namespace varnok {

SessionDriver::~SessionDriver() = default;

std::string listing_command(const std::string& os_type) {
    if (os_type == "LINUX" || os_type == "BSD") return "ps -awx;";
    if (os_type == "HPUX") return "ps -edafx;";
    if (os_type == "SOLARIS" || os_type == "AIX") return "ps -edaf;";
    if (os_type == "OPENSSHCYGWIN") return "ps -aW;";
    return {};
}

std::string listing_command_line(const std::string& os_type, bool add_wait) {
    return listing_command(os_type) + (add_wait ? "wait;" : "") + "exit";
}

void load_login_key(SshKeys& keys, const CheckSettingsRecord& s,
                    const std::optional<std::string>& key_text) {
    const auto pass_phrase = s.Password.empty() ? std::nullopt : std::optional(s.Password);
    if (key_text)
        keys.import_private_key(*key_text, s.KeyFile, pass_phrase);
    else
        keys.load_private_key(s.KeyFile, pass_phrase);
}

void set_login(SshClient& client, SshKeys& keys, const CheckSettingsRecord& s,
               const std::optional<std::string>& key_text) {
    client.set_login_name(s.Username);
    client.set_password(s.Password);
    if (s.KeyFile.empty()) return;
    load_login_key(keys, s, key_text);
    client.set_authentication_method(SshAuth::PublicKey);
    // KeyType selects nothing: the key object hands over the key it loaded, of any type.
    client.set_private_key(keys);
}

std::string time_of_day_text() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "%X", &local);
    return std::string(buf, n);
}

void SessionDriver::Get_Process_list() {
    SessionStateRecord& state = SessionState;
    const CheckSettingsRecord& s = CheckSettings;
    state.Lines.assign(1, std::string());
    state.LineCount = 0;
    connection_failure_ = FailureKind::None;
    warnings_.clear();
    try {
        Ssh = std::make_unique<SshClient>();
        SshKeys = std::make_unique<varnok::SshKeys>();
        Ssh->Connected = [this](int16_t code, const std::string& text) {
            Ssh_Connected(code, text);
        };
        Ssh->Received = [this](int16_t count) { Ssh_Received(count); };
        Ssh->Disconnected = [this] { Ssh_Disconnected(); };
        Ssh->HostFingerprint = [this](const std::string& f, bool& a) { Ssh_HostFingerprint(f, a); };
        Ssh->CryptoInformation = [this](const std::string& p, const std::string& r,
                                        const std::string& sc, const std::string& cs,
                                        const std::string& k,
                                        bool& a) { Ssh_CryptoInformation(p, r, sc, cs, k, a); };
        Ssh->StateChange = [this](SshPhase old) { Ssh_StateChange(static_cast<int32_t>(old)); };
        Ssh->Warning = [this](const std::string& text) { warnings_.push_back(text); };

        Ssh->set_remote_host(s.Hostname);
        set_login(*Ssh, *SshKeys, s, key_text);
        Ssh->set_command_text(listing_command_line(s.OSType, s.AddWait));
        Ssh->set_protocol(s.Protocol == "1"   ? SshProtocol::Ssh1
                          : s.Protocol == "2" ? SshProtocol::Ssh2
                                              : SshProtocol::Automatic);
        Ssh->set_remote_port(port_or_default(s.Port));
        Ssh->set_time_limit(s.TimeoutSeconds);
        Ssh->set_host_key_policy(host_keys);
        state.Disconnected = false;
        state.ConnectError.clear();
        Ssh->connect();
    } catch (const SshError& e) {
        end_setup(e.what(), e.kind());
    } catch (const std::exception& e) {
        end_setup(e.what(), FailureKind::Connect);
    }
}

void SessionDriver::end_setup(const std::string& error, FailureKind failure) {
    SessionState.ConnectError = error;
    SessionState.Disconnected = true;
    connection_error_ = error;
    connection_failure_ = failure;
}

void SessionDriver::run_listing() {
    Get_Process_list();
    while (!SessionState.Disconnected) DoEvents();
}

void SessionDriver::replay_listing(const std::string& received, const std::string& error,
                                   FailureKind failure) {
    SessionStateRecord& state = SessionState;
    state.Lines.assign(1, std::string());
    state.LineCount = 0;
    state.ConnectError = error;
    connection_failure_ = failure;
    warnings_.clear();
    Ssh.reset();
    ReceivedText = received;
    Ssh_Disconnected();
}

void SessionDriver::Ssh_Connected(int16_t ErrorCode, const std::string& ErrorText) {
    if (ErrorCode != 0) {
        SessionState.ConnectError = ErrorText;
        connection_failure_ = static_cast<FailureKind>(ErrorCode);
    }
    ReceivedText.clear();
}

void SessionDriver::Ssh_Received(int16_t ByteCount) { ReceivedText += Ssh->fetch(ByteCount); }

void SessionDriver::Ssh_Disconnected() {
    SessionState.Disconnected = true;
    // A listing cut short must not be counted as if it were whole.
    if (Ssh && !Ssh->end_error().empty() && SessionState.ConnectError.empty()) {
        SessionState.ConnectError = Ssh->end_error();
        connection_failure_ = Ssh->end_failure();
    }
    connection_error_ = SessionState.ConnectError;
    // Remote bytes become text here; what is not UTF-8 shows as U+FFFD.
    Splitt_in_lines(to_valid_utf8(ReceivedText));
}

void SessionDriver::Ssh_HostFingerprint(const std::string&, bool&) {
    set_lblTemp_caption(lblTemp_caption() + "\r\n" + time_of_day_text());
}

void SessionDriver::Ssh_CryptoInformation(const std::string&, const std::string&,
                                          const std::string&, const std::string&,
                                          const std::string&, bool&) {}

void SessionDriver::Ssh_PromptReceived() {}

void SessionDriver::Ssh_StateChange(int32_t) {}

std::string SessionDriver::lblTemp_caption() const { return lblTemp_text_; }

void SessionDriver::set_lblTemp_caption(const std::string& caption) { lblTemp_text_ = caption; }

}  // namespace varnok
