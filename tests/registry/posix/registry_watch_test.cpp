// Registry key watches of the file-backed store: what the store itself
// writes beside a key's values (temporary files, the lock, reserved names)
// never fires a watch.
#include "registry/registry_watch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "registry/registry_watch_fixture.h"

namespace holm::registry::test {
namespace {

namespace fs = std::filesystem;

TEST_F(RegistryWatchTest, StoreTemporaryAndReservedFilesNeverFire) {
    Key key = createKey(u"Quiet");
    KeyWatch watcher = watch(u"Quiet", true);
    // Leftovers in the store's temporary directory, and reserved names in the
    // key's own directory, as a crashed writer or a hand edit may leave them.
    writeFile(storeDir() / ".tmp" / "v-1-v.x", "partial");
    writeFile(machineDir("k.quiet") / ".tmp-stray", "partial");
    fs::remove(machineDir("k.quiet") / ".tmp-stray");
    EXPECT_FALSE(firedAlready(watcher));
    EXPECT_FALSE(firedAlready(watcher));

    // Writes and locking, which use the temporary directory and the lock
    // file, fire exactly for the value.
    ASSERT_EQ(errorOf(key.setValue(u"v", makeDword(1))), kErrorSuccess);
    EXPECT_TRUE(fires(watcher));
    watcher.rearm();
    EXPECT_FALSE(firedAlready(watcher));
}

}  // namespace
}  // namespace holm::registry::test
