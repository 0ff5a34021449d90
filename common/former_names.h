// The former names of the namespaces of common/, before they followed the
// folder: kept for code written against the old names; to be removed.
#pragma once

namespace holm::common::hostctl {}
namespace holm::common::cfglib {}

namespace holm {
namespace text = ::holm::common;
namespace hostctl = ::holm::common::hostctl;
namespace cfglib = ::holm::common::cfglib;
}  // namespace holm
