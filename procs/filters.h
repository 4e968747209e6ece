// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "procs/listing.h"
#include "procs/query.h"
#include "procs/system.h"

namespace varnok::procs {

/// Why a system's listing cannot answer the query ("-r (RSS) cannot be answered on HP-UX:
/// ..."), empty when it can.
std::string refusal(const ProcsQuery& query, const SystemInfo& system);

/// A query's filters, read once and applied to every listing row as check_procs applies them.
class Filters {
  public:
    /// Reads the filters' values; error() then names the first invalid one in check_procs's words.
    explicit Filters(const ProcsQuery& query);
    ~Filters();
    Filters(const Filters&) = delete;
    Filters& operator=(const Filters&) = delete;

    /// The first invalid value's text ("RSS must be an integer!"), empty when all are valid.
    const std::string& error() const { return error_; }

    /// Learns what the rows tell: the user id of a -u name (or the name of an id), kthreadd's pid.
    void learn(const std::vector<ProcRow>& rows);

    /// The index of the first filter, in query order, that leaves the row out; -1 when none does.
    int first_failing(const ProcRow& row) const;

    /// The status line's words for filter i ("command name 'sshd'"); empty for -k.
    std::string describe(size_t i) const;

    /// What the explain view says left a row out through filter i.
    std::string label(size_t i) const;

    /// The status line's part after "with": every filter's words, comma-separated.
    std::string description() const;

    /// The number of filters.
    size_t size() const { return filters_.size(); }

  private:
    struct Compiled;
    bool passes(const Compiled& filter, const ProcRow& row) const;

    std::vector<std::unique_ptr<Compiled>> filters_;
    std::string error_;
    long long kthreadd_pid_ = -1;
    mutable std::string buffer_;  // regexec needs a terminated text
};

}  // namespace varnok::procs
