// libdemo_decline.so, the example plugin "decline".
//
// A plugin may decide, when the core asks for its plugin object, that it has
// nothing to do in this process (a feature switched off, hardware missing,
// another instance running). It then returns null from getHlmPlugin2: the
// core frees the library again and goes on with the next list entry, without
// an event and without an error in its log. Nothing of the plugin is called
// after that, so it declines before it allocates anything.
#include "hlmplg/hlmplg.h"

HLMPLG_PLUGIN_ENTRY {
    return nullptr;
}
