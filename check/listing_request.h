// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <variant>

#include "check/form_ui.h"

namespace varnok {

/// The listing the picker starts for the form's fields, or the text of the stop message that
/// refuses them (no user name, neither password nor key file, a timeout or port that is not a
/// 16-bit number); an empty timeout is 0.
std::variant<ListingRequest, std::string> listing_request_for(const FormFields& form);

}  // namespace varnok
