// Registry key watches: a burst fires once and again only after re-arming,
// filters, subtrees, a deleted key, and a set of watches of one tree.
#include "registry/registry_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/io.h"
#include "registry/registry_watch_fixture.h"

namespace holm::registry::test {
namespace {

TEST_F(RegistryWatchTest, FiresOncePerBurstAndAgainOnlyAfterRearming) {
    Key key = createKey(u"Watched");
    KeyWatch watcher = watch(u"Watched", false);
    EXPECT_FALSE(firedAlready(watcher));

    ASSERT_EQ(errorOf(key.setValue(u"a", makeDword(1))), kErrorSuccess);
    ASSERT_EQ(errorOf(key.setValue(u"b", makeDword(2))), kErrorSuccess);
    EXPECT_TRUE(fires(watcher));
    EXPECT_FALSE(watcher.consume());  // the burst was reported once

    // A change while fired is kept for after the re-arming, not lost.
    ASSERT_EQ(errorOf(key.deleteValue(u"a")), kErrorSuccess);
    EXPECT_FALSE(watcher.consume());
    watcher.rearm();
    EXPECT_TRUE(fires(watcher));
    watcher.rearm();
    EXPECT_FALSE(firedAlready(watcher));

    createKey(u"Watched\\Child");
    EXPECT_TRUE(fires(watcher));
}

TEST_F(RegistryWatchTest, FilterSelectsNamesOrValues) {
    Key key = createKey(u"Filtered");
    KeyWatch valuesOnly = watch(u"Filtered", false, kNotifyLastSet);
    KeyWatch namesOnly = watch(u"Filtered", false, kNotifyName);
    createKey(u"Filtered\\Child");
    EXPECT_FALSE(firedAlready(valuesOnly));
    EXPECT_TRUE(fires(namesOnly));
    ASSERT_EQ(errorOf(key.setValue(u"v", makeDword(1))), kErrorSuccess);
    EXPECT_TRUE(fires(valuesOnly));
}

TEST_F(RegistryWatchTest, SubtreeWatchFollowsKeysBelowIncludingNewOnes) {
    createKey(u"Tree\\Existing\\Deep");
    KeyWatch subtree = watch(u"Tree", true);
    KeyWatch shallow = watch(u"Tree", false);

    Key deep = createKey(u"Tree\\Existing\\Deep");
    ASSERT_EQ(errorOf(deep.setValue(u"v", makeDword(1))), kErrorSuccess);
    EXPECT_TRUE(fires(subtree));
    EXPECT_FALSE(firedAlready(shallow));

    subtree.rearm();
    Key fresh = createKey(u"Tree\\Fresh\\Inner");
    EXPECT_TRUE(fires(subtree));
    EXPECT_TRUE(fires(shallow));
    subtree.rearm();
    shallow.rearm();
    ASSERT_EQ(errorOf(fresh.setValue(u"v", makeDword(1))), kErrorSuccess);
    EXPECT_TRUE(fires(subtree));
    EXPECT_FALSE(firedAlready(shallow));
}

TEST_F(RegistryWatchTest, DeletingTheWatchedKeyFires) {
    createKey(u"Doomed");
    KeyWatch watcher = watch(u"Doomed", false);
    ASSERT_EQ(errorOf(deleteKey(store_, Root::LocalMachine, u"Doomed")), kErrorSuccess);
    EXPECT_TRUE(fires(watcher));

    KeyWatch missing;
    EXPECT_EQ(
        assign(KeyWatch::create(store_, Root::LocalMachine, u"Doomed", false, kNamesAndValues),
               missing),
        kErrorFileNotFound);
    EXPECT_FALSE(missing.valid());
}

// A key under a subtree watch of the same set: each watch fires on its own
// terms (Linux shares one kernel watch between them), and ending one leaves
// the other.
TEST_F(RegistryWatchTest, SetSharesDirectoriesAndKeepsChangesOfDisarmedWatches) {
    createKey(u"Set\\Inner");
    KeyWatchSet set;
    uint64_t tree = 0;
    uint64_t inner = 0;
    ASSERT_EQ(assign(set.add(store_, Root::LocalMachine, u"Set", true, kNamesAndValues), tree),
              kErrorSuccess);
    ASSERT_EQ(
        assign(set.add(store_, Root::LocalMachine, u"Set\\Inner", false, kNamesAndValues), inner),
        kErrorSuccess);
    const auto firedIn = [&set] {
        const auto deadline = platform::io::deadlineIn(kDeadline);
        std::vector<uint64_t> fired;
        while (fired.empty() && platform::io::waitReadable(set.fd(), deadline).valueOr(false)) {
            fired = set.consume();
        }
        return fired;
    };

    Key key = createKey(u"Set\\Inner");
    ASSERT_EQ(errorOf(key.setValue(u"v", makeDword(1))), kErrorSuccess);
    std::vector<uint64_t> fired = firedIn();
    std::sort(fired.begin(), fired.end());
    EXPECT_EQ(fired, (std::vector<uint64_t>{tree, inner}));

    // Inner is rearmed, the tree is not: the tree's change is kept until
    // its rearm, and reported by the next look after it.
    set.rearm(inner);
    ASSERT_EQ(errorOf(key.setValue(u"v", makeDword(2))), kErrorSuccess);
    EXPECT_EQ(firedIn(), std::vector<uint64_t>{inner});
    set.rearm(tree);
    EXPECT_EQ(set.consume(), std::vector<uint64_t>{tree});

    set.remove(tree);
    set.rearm(inner);
    ASSERT_EQ(errorOf(key.setValue(u"v", makeDword(3))), kErrorSuccess);
    EXPECT_EQ(firedIn(), std::vector<uint64_t>{inner});
}

}  // namespace
}  // namespace holm::registry::test
