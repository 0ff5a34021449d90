// Configuration writes (interface id 3): changes collected by a plugin and
// handed, on commit, to the product's configuration updater program, which
// owns every write of the configuration file.
#pragma once

#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// Commands are texts "SECTION:Key=Value" (set), "SECTION:Key%d=Value" (the
// updater stores Value under the lowest-numbered key Key0, Key1, ... not yet
// set) and "SECTION:Key" (remove). Arguments are copied at once. One thread
// at a time uses an object.
class HLMPLG_API IConfigWrite : public IInterface {
  public:
    // Drops every pending command.
    virtual void clear() = 0;
    virtual void setValue(const char16_t* section, const char16_t* key, const char16_t* value) = 0;
    virtual void setIndexedValue(const char16_t* section, const char16_t* key,
                                 const char16_t* value) = 0;
    virtual void removeValue(const char16_t* section, const char16_t* key) = 0;
    // Writes the pending commands to a command file, runs the updater on it
    // and waits for it to end; the command file is then deleted. True when
    // the updater was started and has ended (how it ended goes to the host's
    // log); false with no pending commands, when the command file cannot be
    // written or the updater cannot be started. The commands stay pending:
    // a second commit sends them again unless clear() was called.
    virtual bool commit() = 0;
};

}  // namespace HlmPlg
