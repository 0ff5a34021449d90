// The host's command line as plugins see it: "/" switches with "=" values.
//
// On this platform a '/' introduces a switch only after a blank and outside
// double quotes, so that paths ("/opt/holm/plugins.xml") stay whole; the
// first part is the program path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "hlmplg/cmdline.h"

namespace holm::services {

// The process-wide command-line text: the process's own command line until
// the host hands the core an argument vector.
std::u16string processCommandLine();
void setProcessCommandLine(std::u16string text);

// The text the core builds from the host's arguments: the first argument
// (the program) bare, every later one as a "/" switch whatever its prefix.
std::u16string commandLineFromArguments(int32_t count, const char16_t* const* arguments);

// Splits a command-line text into its parts: the program path first, then
// each switch without its '/', blanks trimmed.
std::vector<std::u16string> splitSwitches(std::u16string_view text);

// Whether `switchText` is the switch `name`: the name alone, followed by '='
// and a value, or followed by a blank and more text (A-Z case-insensitive).
bool switchMatches(std::u16string_view switchText, std::u16string_view name);

// The value after the first '=' of a switch, blanks trimmed and one pair of
// enclosing double quotes removed; empty without '='.
std::u16string switchValue(std::u16string_view switchText);

// One per core: a copy of the process-wide text and its parsed switches,
// parsed again whenever the text has changed.
class CommandLineHolder {
  public:
    bool hasSwitch(std::u16string_view name) EXCLUDES(lock_);
    std::u16string getSwitchValue(std::u16string_view name) EXCLUDES(lock_);

  private:
    void refresh() REQUIRES(lock_);

    common::Mutex lock_;
    bool parsed_ GUARDED_BY(lock_) = false;
    std::u16string text_ GUARDED_BY(lock_);
    std::vector<std::u16string> switches_ GUARDED_BY(lock_);
};

// ICmdLine (id 7) over the core's holder.
class CCmdLineImplEx : public HlmPlg::ICmdLine {
  public:
    explicit CCmdLineImplEx(CommandLineHolder& holder) : holder_(holder) {}

    bool hasSwitch(const char16_t* name) override EXCLUDES(lock_);
    const char16_t* getSwitchValue(const char16_t* name) override EXCLUDES(lock_);

  private:
    common::Mutex lock_;
    std::u16string result_ GUARDED_BY(lock_);
    CommandLineHolder& holder_;
};

}  // namespace holm::services
