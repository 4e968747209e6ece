// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>

#include "automation/variant.h"
#include "check/check_report.h"
#include "check/check_run.h"

namespace varnok {

class frmmain;

/// The check object a monitoring host creates: four properties, a check and a settings dialog.
class VarnokCom {
  public:
    /// The programmatic identifier of the class.
    static constexpr const char* kProgId = "comVarnok.VarnokCom";

    VarnokCom();
    ~VarnokCom();
    VarnokCom(const VarnokCom&) = delete;
    VarnokCom& operator=(const VarnokCom&) = delete;

    /// Runs one check; true when the alert condition is not met. Throws AutomationError on a
    /// failed call, leaving xc_result as it was.
    bool xc_docheck();
    /// Lets an operator edit the settings in a modal dialog; OK leaves the new string in
    /// xc_parameter. Throws AutomationError on a failed call.
    void xc_showGUI();

    /// Property put: stores a copy.
    void put_xc_result(const Variant& vData) { result_ = vData; }
    /// Property put by reference: stores the object reference.
    void putref_xc_result(const Variant& vData) { result_ = vData; }
    /// Property get.
    Variant get_xc_result() const { return result_; }

    void put_xc_parameter(const Variant& vData) { parameter_ = vData; }
    void putref_xc_parameter(const Variant& vData) { parameter_ = vData; }
    Variant get_xc_parameter() const { return parameter_; }

    void put_xc_timeout(const Variant& vData) { timeout_ = vData; }
    void putref_xc_timeout(const Variant& vData) { timeout_ = vData; }
    Variant get_xc_timeout() const { return timeout_; }

    void put_xc_hostname(const Variant& vData) { hostname_ = vData; }
    void putref_xc_hostname(const Variant& vData) { hostname_ = vData; }
    Variant get_xc_hostname() const { return hostname_; }

    /// The report of the last check that ran to a result (empty before the first).
    const CheckReport& last_report() const { return report_; }
    /// The listing the last check of this object took: the bytes received and the connection
    /// error.
    CapturedListing last_listing() const;
    /// Runs one check, as xc_docheck, on a listing that another check took with the same
    /// connection settings: this object's rule fields decide, and nothing connects.
    bool docheck_on(const CapturedListing& listing);

    /// The form instance this object owns for its whole life.
    frmmain& form() { return *form_; }

  private:
    bool run_check(const CapturedListing* reuse);

    Variant hostname_;
    Variant timeout_;
    Variant parameter_;
    Variant result_;
    std::unique_ptr<frmmain> form_;
    CheckReport report_;
    bool listing_taken_ = false;
};

}  // namespace varnok
