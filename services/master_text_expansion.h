// Expansion of master-text references: in a text, "$#NAME$" stands for the
// value of the master text "#NAME", itself expanded.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace holm::services {

// The value of a master text by its name ("#NAME"); nullopt when undefined.
using MasterTextLookup = std::function<std::optional<std::u16string>(std::u16string_view name)>;

// References nest at most this deep: a value reached through more references
// (a cycle, say) keeps its own references as written.
inline constexpr int kMaxReferenceDepth = 16;
// Once the result holds this many units, no further reference is expanded:
// texts that refer to each other many times over cannot grow without bound.
inline constexpr size_t kMaxExpandedUnits = 64 * 1024;

// `text` with every reference to a defined master text replaced by its
// expanded value. A reference to an undefined name, or one without its
// closing '$', stays as written.
std::u16string expandMasterReferences(std::u16string_view text, const MasterTextLookup& lookup);

}  // namespace holm::services
