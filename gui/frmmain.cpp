#include "gui/frmmain.h"

namespace varnok {

frmmain::frmmain() = default;
frmmain::~frmmain() = default;

}  // namespace varnok
