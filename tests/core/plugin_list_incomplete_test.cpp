// A plugin list entry needs both a name and a file: an entry without either
// is dropped, in both list forms, and the entries around it stay.
#include "core/plugin_list.h"

#include <gtest/gtest.h>

namespace {

using holm::core::PluginList;
using holm::core::PluginListEntry;

PluginList makeIncompleteList() {
    return PluginList([](const std::u16string& file) { return u"/opt/holm/" + file; },
                      [](const std::u16string&) { return std::u16string(); });
}

TEST(PluginListIncomplete, InlineEntriesWithoutNameOrFileGiveNoEntry) {
    PluginList list = makeIncompleteList();
    ASSERT_TRUE(list.loadList(
        u"@XMLFILE:name=;file=a.so|file=b.so|name=c;file=|name=d|name=kept;file=kept.so"));
    EXPECT_EQ(list.readEntries("plugins"),
              (std::vector<PluginListEntry>{{u"kept", u"/opt/holm/kept.so", u""}}));
}

TEST(PluginListIncomplete, XmlEntriesWithoutNameOrFileGiveNoEntry) {
    PluginList list = makeIncompleteList();
    ASSERT_TRUE(list.loadXml(R"(<list><plugins>
  <plugin file="a.so"/>
  <plugin name="" file="b.so"/>
  <plugin name="c"/>
  <plugin name="d" file=""/>
  <plugin name="kept" file="kept.so"/>
</plugins></list>)",
                             u"/tmp/list.xml"));
    EXPECT_EQ(list.readEntries("plugins"),
              (std::vector<PluginListEntry>{{u"kept", u"/opt/holm/kept.so", u""}}));
}

}  // namespace
