// The records the legacy bridge exchanges with the engine and the I/O driver
// bridge, read and written without trusting their contents: the extension
// list walk never reads outside its data, version records are copied byte by
// byte from fixed offsets.
#pragma once

#include <string>
#include <vector>

#include "hlmplg/engine.h"
#include "hlmplg/key_value_list.h"

namespace holm::gateway {

// The extensions of `list` as ".EXT" texts (upper case A-Z): entries of
// length 1 to 19, of which the first 18 characters are kept; other lengths
// are skipped. The walk stops at the entry count, at a negative length
// (malformed data) or at an entry that would end past totalLength.
std::vector<std::u16string> extensionsOf(const HlmPlg::ExtensionList& list);

// The two version records of the engine's version source.
HlmPlg::EngineVersion versionA(const HlmPlg::EngineVersionSource& source);
HlmPlg::EngineVersion versionB(const HlmPlg::EngineVersionSource& source);

// The statistics as key-value pairs, and the counters a key-value list sets.
void writeStatistics(const HlmPlg::AvhioStatistics& statistics, HlmPlg::IKeyValueList& list);
HlmPlg::AvhioStatistics readStatistics(HlmPlg::IKeyValueList& list);

}  // namespace holm::gateway
