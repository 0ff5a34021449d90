#include "core/plugin_list.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using holm::core::PluginList;
using holm::core::PluginListEntry;

PluginList makeList() {
    return PluginList(
        [](const std::u16string& file) { return u"/opt/holm/" + file; },
        [](const std::u16string& name) { return name == u"#FN_CFGLIB" ? u"libholmcfg.so" : u""; });
}

TEST(PluginList, InlineFormIsCaseInsensitiveAndFiltersIncompleteRecords) {
    PluginList list = makeList();
    ASSERT_TRUE(
        list.loadList(u"@xmlfile:  name=\"first\";file=one.so;params= | name=second;params=x | "
                      u"NAME=third;File=three.so;extra=1;noequals"));
    auto entries = list.readEntries("plugins");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], (PluginListEntry{u"first", u"/opt/holm/one.so", u""}));
    EXPECT_EQ(entries[1], (PluginListEntry{u"third", u"/opt/holm/three.so", u""}));
    EXPECT_TRUE(list.readEntries("plugins2").empty());
    EXPECT_EQ(list.getListAttribute(u"name", u"dflt"), u"dflt");
}

TEST(PluginList, XmlFormReadsFirstElementsAndCaseSensitiveAttributes) {
    PluginList list = makeList();
    ASSERT_TRUE(list.loadXml(R"(<?xml version="1.0"?>
<list>
  <plugins>
    <plugin name="a" file="/abs/a.so" params="p" other="x"/>
    <anything name="b" file="b.so"/>
    <plugin Name="c" FILE="c.so"/>
  </plugins>
  <plugins><plugin name="ignored" file="ignored.so"/></plugins>
  <plugins2><p name="n2" file="two.so" params="Factory/1.0"/></plugins2>
  <service>
    <name>
      avholm
    </name>
    <cfg>#FN_CFGLIB</cfg>
    <empty></empty>
  </service>
</list>)",
                             u"/tmp/list.xml"))
        << std::string(list.lastError().begin(), list.lastError().end());
    auto entries = list.readEntries("plugins");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], (PluginListEntry{u"a", u"/opt/holm//abs/a.so", u"p"}));
    EXPECT_EQ(entries[1].name, u"b");
    EXPECT_EQ(list.readEntries("plugins2").size(), 1u);
    EXPECT_EQ(list.getListAttribute(u"name", u""), u"avholm");
    EXPECT_EQ(list.getListAttribute(u"cfg", u""), u"libholmcfg.so");
    EXPECT_EQ(list.getListAttribute(u"empty", u"dflt"), u"dflt");
    EXPECT_EQ(list.getListAttribute(u"missing", u"dflt"), u"dflt");
}

TEST(PluginList, DuplicateAttributeLaterWins) {
    PluginList list = makeList();
    // Expat rejects duplicate attributes as not well-formed; the rule applies
    // to documents it accepts, where each attribute occurs once.
    EXPECT_FALSE(list.loadXml("<l><plugins><p name='a' name='b' file='f'/></plugins></l>", u"x"));
    EXPECT_NE(list.lastError().find(u"Parsing error #8 (line 1, column"), std::u16string::npos);
}

TEST(PluginList, ErrorTexts) {
    PluginList list = makeList();
    EXPECT_FALSE(list.loadList(u"/nonexistent/list.xml"));
    EXPECT_EQ(list.lastError(), u"Unable to find file (/nonexistent/list.xml).");

    EXPECT_FALSE(list.loadXml("<a><b></a>", u"x.xml"));
    EXPECT_EQ(list.lastError(), u"Parsing error #7 (line 1, column 8): mismatched tag.");

    list.close();
    EXPECT_EQ(list.lastError(), u"XML file is not opened.");
    ASSERT_TRUE(list.loadXml("<a/>", u"x.xml"));
    EXPECT_FALSE(list.loadXml("<a/>", u"x.xml"));
    EXPECT_EQ(list.lastError(), u"XML file is already opened.");
}

TEST(PluginList, HostileDocumentsFailCleanly) {
    PluginList list = makeList();
    // Deep nesting is built without recursion.
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<e>";
    for (int i = 0; i < 100000; ++i)
        deep += "</e>";
    EXPECT_TRUE(list.loadXml(deep, u"deep.xml"));
    list.close();

    // Entity expansion bombs are stopped by the parser.
    std::string bomb = "<!DOCTYPE l [<!ENTITY e0 'lollollollollollollollollollol'>";
    for (int level = 1; level <= 9; ++level) {
        bomb += "<!ENTITY e" + std::to_string(level) + " '";
        for (int i = 0; i < 10; ++i)
            bomb += "&e" + std::to_string(level - 1) + ";";
        bomb += "'>";
    }
    bomb += "]><l>&e9;</l>";
    EXPECT_FALSE(list.loadXml(bomb, u"bomb.xml"));
    EXPECT_TRUE(list.readEntries("plugins").empty());
}

TEST(PluginList, ReadsFileFromDisk) {
    holm::test::TempDir dir;
    auto path = dir.write("plugins.xml", "<l><plugins><p name='x' file='x.so'/></plugins></l>");
    PluginList list = makeList();
    auto text = path.u16string();
    ASSERT_TRUE(list.loadList(text));
    EXPECT_EQ(list.readEntries("plugins").size(), 1u);
}

}  // namespace
