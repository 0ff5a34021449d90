// A single key watch: a watch set of its own with one watch in it, the same
// on every system.
#include "registry/registry_watch.h"

namespace holm::registry {

platform::Result<KeyWatch> KeyWatch::create(const Store& store, Root root, std::u16string_view path,
                                            bool subtree, uint32_t filter) {
    KeyWatch created;
    auto id = created.set_.add(store, root, path, subtree, filter);
    if (!id) {
        return id.error();
    }
    created.id_ = *id;
    return created;
}

// A fired watch reads nothing: what happens until its rearm stays pending
// and is reported after it.
bool KeyWatch::consume() {
    if (!valid() || !set_.armed(id_)) {
        return false;
    }
    return !set_.consume().empty();
}

void KeyWatch::rearm() {
    set_.rearm(id_);
}

}  // namespace holm::registry
