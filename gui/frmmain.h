#pragma once

#include <memory>
#include <string>

#include "listing/session_driver.h"

namespace varnok {

/// The settings form of one check object. It hosts the SSH session driver, which needs no
/// display; its window is created only when its controls are first used.
class frmmain : public SessionDriver {
public:
    frmmain();
    ~frmmain() override;
};

}  // namespace varnok
