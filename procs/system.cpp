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
// HP-UX's ps -o has no resident set size.
constexpr std::array kNoRss = {C::State, C::Uid, C::User, C::Pid,
                               C::Ppid,  C::Vsz, C::Pcpu, C::Elapsed};

// LC_ALL=C keeps the decimal point of %CPU a point. Each listing ends before comm and args, so
// that the extra columns go in between.
const std::array<SystemInfo, 6> kSystems = {{
    // procps: -ww lifts the 80-column cut that applies when the output is not a terminal; the
    // kernel keeps 15 characters of a command name.
    {ProcsSystem::Linux, "Linux",
     "LC_ALL=C ps -e -ww -o stat,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,rss,pcpu,etime",
     kFull, "nlwp", 15, 0, 0, 1},
    // FreeBSD (and NetBSD, DragonFly, macOS): -ax every process, -ww no width limit; FreeBSD
    // keeps 19 characters of a command name (MAXCOMLEN); its time has hundredths.
    {ProcsSystem::Bsd, "BSD",
     "LC_ALL=C ps -ax -ww -o state,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,rss,pcpu,etime",
     kFull, "nlwp", 19, 0, 0, 0.01},
    // /usr/bin/ps reads the arguments from the process's psinfo, which holds 80 bytes: longer
    // arguments end after 79 characters, and no option of it shows more.
    {ProcsSystem::Solaris, "Solaris",
     "LC_ALL=C /usr/bin/ps -e -o s,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,rss,pcpu,etime",
     kFull, "nlwp", 0, 79, 0, 1},
    // AIX cuts each line at COLUMNS (the terminal's width, 80 without one); its resident size
    // is the keyword rssize.
    {ProcsSystem::Aix, "AIX",
     "LC_ALL=C COLUMNS=8192 /usr/bin/ps -e -o stat,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,rssize,pcpu,etime",
     kFull, "thcount", 0, 0, 8191, 1},
    // UNIX95 selects the -o form; -x shows up to 1020 bytes of arguments instead of 128; the
    // kernel keeps 14 characters of a command name.
    {ProcsSystem::Hpux, "HP-UX",
     "LC_ALL=C UNIX95=1 /usr/bin/ps -e -x -o state,uid -o user=USER____________________________ "
     "-o pid,ppid,vsz,pcpu,etime",
     kNoRss, "", 14, 1019, 0, 1},
    // Cygwin's ps has no -o: the long form (-l) with Windows processes too (-W).
    {ProcsSystem::Cygwin, "Cygwin", "ps -a -l -W", {}, "", 0, 0, 0, 0},
}};

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

bool SystemInfo::has(Column column) const {
    if (column == Column::CpuTime) return time_resolution > 0;
    if (column == Column::Threads) return !threads.empty();
    return std::find(columns.begin(), columns.end(), column) != columns.end();
}

std::vector<Column> SystemInfo::columns_with(Extras extras) const {
    std::vector<Column> out(columns.begin(), columns.end());
    if (out.empty()) return out;
    if (extras.cpu_time && has(Column::CpuTime)) out.push_back(Column::CpuTime);
    if (extras.threads && has(Column::Threads)) out.push_back(Column::Threads);
    return out;
}

const SystemInfo& system_info(ProcsSystem system) {
    for (const SystemInfo& info : kSystems)
        if (info.system == system) return info;
    return kSystems[0];
}

std::string procs_command(ProcsSystem system, Extras extras, int interval) {
    // exec keeps the login shell's pid for the POSIX shell, so $$ names the process that sshd
    // started whatever the user's shell is (csh has no case); backquotes suit Solaris 10's sh.
    std::string script = "os=`uname -s`; echo " + std::string(kOsMarker) + " \"$os\"; echo " +
                         std::string(kPidMarker) + " $$; ";
    const auto listing = [extras](ProcsSystem s) {
        const SystemInfo& info = system_info(s);
        std::string line(info.listing);
        if (info.columns.empty()) return line + " 2>&1";
        if (extras.cpu_time && info.has(Column::CpuTime)) line += ",time";
        if (extras.threads && info.has(Column::Threads)) line += "," + std::string(info.threads);
        line += ",comm,args 2>&1";
        // procps counts CPU time in whole seconds; /proc's stat lines count clock ticks. A
        // process that ends between the glob and cat makes cat fail: the status is ps's.
        if (s == ProcsSystem::Linux && extras.cpu_time)
            line += " && { echo " + std::string(kTicksMarker) +
                    " `getconf CLK_TCK`; cat /proc/[0-9]*/stat 2>/dev/null; true; }";
        return line;
    };
    std::string part;
    if (system == ProcsSystem::Auto) {
        part = "case \"$os\" in Linux) " + listing(ProcsSystem::Linux) +
               ";; FreeBSD|NetBSD|OpenBSD|DragonFly|Darwin) " + listing(ProcsSystem::Bsd) +
               ";; SunOS) " + listing(ProcsSystem::Solaris) + ";; AIX) " +
               listing(ProcsSystem::Aix) + ";; HP-UX) " + listing(ProcsSystem::Hpux) +
               ";; CYGWIN*|MSYS_NT-*|MINGW32_NT-*|MINGW64_NT-*) " + listing(ProcsSystem::Cygwin) +
               ";; *) echo " + std::string(kUnsupportedMarker) + "; false;; esac; ";
    } else {
        part = listing(system) + "; ";
    }
    part += "echo " + std::string(kEndMarker) + " $?";
    script += part;
    // The second listing repeats the first whole (the case too): no shell function, which
    // some old Bourne shells handle badly inside a case.
    if (interval > 0)
        script += "; sleep " + std::to_string(interval) + "; echo " + std::string(kAgainMarker) +
                  "; " + part;
    return "exec /bin/sh -c '" + script + "'";
}

std::optional<ProcsSystem> system_from_uname(std::string_view uname) {
    if (uname == "Linux") return ProcsSystem::Linux;
    for (std::string_view bsd : {"FreeBSD", "NetBSD", "OpenBSD", "DragonFly", "Darwin"})
        if (uname == bsd) return ProcsSystem::Bsd;
    if (uname == "SunOS") return ProcsSystem::Solaris;
    if (uname == "AIX") return ProcsSystem::Aix;
    if (uname == "HP-UX") return ProcsSystem::Hpux;
    // Git for Windows' and MSYS2's shells run Cygwin's ps under names of their own.
    for (std::string_view cygwin : {"CYGWIN", "MSYS_NT-", "MINGW32_NT-", "MINGW64_NT-"})
        if (uname.starts_with(cygwin)) return ProcsSystem::Cygwin;
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
