// SPDX-License-Identifier: Apache-2.0
#include "procs/system.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace varnok::procs {
namespace {

using C = Column;

// Every ps below prints the columns in this order, then comm, then args last so that args
// may hold spaces. The user column's long header widens it: a ps prints a name only when it
// fits the column and the number otherwise (Solaris, procps truncates with "+").
constexpr std::array kFull = {C::State, C::Uid, C::User, C::Pid,    C::Ppid,
                              C::Vsz,   C::Rss, C::Pcpu, C::Elapsed};
// AIX's and HP-UX's ps -o have no resident set size.
constexpr std::array kNoRss = {C::State, C::Uid, C::User, C::Pid,
                               C::Ppid,  C::Vsz, C::Pcpu, C::Elapsed};

// LC_ALL=C keeps the decimal point of %CPU a point.
const std::array<SystemInfo, 6> kSystems = {{
    // procps: -ww lifts the 80-column cut that applies when the output is not a terminal; the
    // kernel keeps 15 characters of a command name.
    {ProcsSystem::Linux, "Linux",
     "LC_ALL=C ps -e -ww -o stat,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,rss,pcpu,etime,comm,args",
     kFull, 15, 0, 0},
    // FreeBSD (and NetBSD, DragonFly, macOS): -ax every process, -ww no width limit; FreeBSD
    // keeps 19 characters of a command name (MAXCOMLEN).
    {ProcsSystem::Bsd, "BSD",
     "LC_ALL=C ps -ax -ww -o state,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,rss,pcpu,etime,comm,args",
     kFull, 19, 0, 0},
    // /usr/bin/ps reads the arguments from the process's psinfo, which holds 80 bytes: longer
    // arguments end after 79 characters, and no option of it shows more.
    {ProcsSystem::Solaris, "Solaris",
     "LC_ALL=C /usr/bin/ps -e -o s,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,rss,pcpu,etime,comm,args",
     kFull, 0, 79, 0},
    // AIX cuts each line at COLUMNS (the terminal's width, 80 without one).
    {ProcsSystem::Aix, "AIX",
     "LC_ALL=C COLUMNS=8192 /usr/bin/ps -e -o stat,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,pcpu,etime,comm,args",
     kNoRss, 0, 0, 8191},
    // UNIX95 selects the -o form; -x shows up to 1020 bytes of arguments instead of 128; the
    // kernel keeps 14 characters of a command name.
    {ProcsSystem::Hpux, "HP-UX",
     "LC_ALL=C UNIX95=1 /usr/bin/ps -e -x -o state,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,pcpu,etime,comm,args",
     kNoRss, 14, 1019, 0},
    // Cygwin's ps has no -o: the long form (-l) with Windows processes too (-W).
    {ProcsSystem::Cygwin, "Cygwin", "ps -a -l -W", {}, 0, 0, 0},
}};

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

bool SystemInfo::has(Column column) const {
    return std::find(columns.begin(), columns.end(), column) != columns.end();
}

const SystemInfo& system_info(ProcsSystem system) {
    for (const SystemInfo& info : kSystems)
        if (info.system == system) return info;
    return kSystems[0];
}

std::string procs_command(ProcsSystem system) {
    // exec keeps the login shell's pid for the POSIX shell, so $$ names the process that sshd
    // started whatever the user's shell is (csh has no case); backquotes suit Solaris 10's sh.
    std::string script = "os=`uname -s`; echo " + std::string(kOsMarker) + " \"$os\"; echo " +
                         std::string(kPidMarker) + " $$; ";
    const auto listing = [](ProcsSystem s) {
        return std::string(system_info(s).listing) + " 2>&1";
    };
    if (system == ProcsSystem::Auto) {
        script += "case \"$os\" in Linux) " + listing(ProcsSystem::Linux) +
                  ";; FreeBSD|NetBSD|OpenBSD|DragonFly|Darwin) " + listing(ProcsSystem::Bsd) +
                  ";; SunOS) " + listing(ProcsSystem::Solaris) + ";; AIX) " +
                  listing(ProcsSystem::Aix) + ";; HP-UX) " + listing(ProcsSystem::Hpux) +
                  ";; CYGWIN*) " + listing(ProcsSystem::Cygwin) + ";; *) echo " +
                  std::string(kUnsupportedMarker) + "; false;; esac; ";
    } else {
        script += listing(system) + "; ";
    }
    script += "echo " + std::string(kEndMarker) + " $?";
    return "exec /bin/sh -c '" + script + "'";
}

std::optional<ProcsSystem> system_from_uname(std::string_view uname) {
    if (uname == "Linux") return ProcsSystem::Linux;
    for (std::string_view bsd : {"FreeBSD", "NetBSD", "OpenBSD", "DragonFly", "Darwin"})
        if (uname == bsd) return ProcsSystem::Bsd;
    if (uname == "SunOS") return ProcsSystem::Solaris;
    if (uname == "AIX") return ProcsSystem::Aix;
    if (uname == "HP-UX") return ProcsSystem::Hpux;
    if (uname.starts_with("CYGWIN")) return ProcsSystem::Cygwin;
    return std::nullopt;
}

std::optional<ProcsSystem> system_from_name(std::string_view name) {
    const std::string n = upper(name);
    if (n == "AUTO") return ProcsSystem::Auto;
    if (n == "LINUX") return ProcsSystem::Linux;
    if (n == "BSD") return ProcsSystem::Bsd;
    if (n == "SOLARIS") return ProcsSystem::Solaris;
    if (n == "AIX") return ProcsSystem::Aix;
    if (n == "HPUX" || n == "HP-UX") return ProcsSystem::Hpux;
    if (n == "OPENSSHCYGWIN" || n == "CYGWIN") return ProcsSystem::Cygwin;
    return std::nullopt;
}

}  // namespace varnok::procs
