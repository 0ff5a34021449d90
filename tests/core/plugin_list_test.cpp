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

// Entities have no use in a plugin list: a single internal entity referenced
// millions of times once cost gigabytes, so any internal subset is refused.
TEST(PluginList, DocumentsDeclaringEntitiesAreRefusedBeforeExpansion) {
    const std::u16string refused = u"Unable to load file: a plugin list may not declare entities";
    std::string many = "<!DOCTYPE l [<!ENTITY e 'xxxxxxxxxxxxxxxx'>]><l><plugins>";
    for (int i = 0; i < 100000; ++i) {
        many += "<p name='&e;' file='&e;'/>";
    }
    many += "</plugins></l>";
    for (const std::string& document :
         {many, std::string("<!DOCTYPE l [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><l>&x;</l>"),
          std::string("<!DOCTYPE l [<!ENTITY % p 'x'>]><l/>"),
          std::string("<!DOCTYPE l [<!ELEMENT l ANY>]><l/>"),
          std::string("<!DOCTYPE l [ ]><l/>")}) {
        PluginList list = makeList();
        EXPECT_FALSE(list.loadXml(document, u"entities.xml"));
        EXPECT_EQ(list.lastError().find(refused), 0u)
            << std::string(list.lastError().begin(), list.lastError().end());
        EXPECT_TRUE(list.readEntries("plugins").empty());
    }
    // A document type without an internal subset declares nothing.
    PluginList plain = makeList();
    EXPECT_TRUE(plain.loadXml("<!DOCTYPE l><l/>", u"plain.xml"));
}

TEST(PluginList, OverlongNamesAndValuesAreRefusedWithTheirPlace) {
    const std::string longName(PluginList::kMaxNameBytes + 1, 'n');
    const std::string longValue(PluginList::kMaxAttributeBytes + 1, 'v');
    PluginList list = makeList();
    EXPECT_FALSE(list.loadXml("<l><plugins>\n<p name='" + longName + "' file='f'/></plugins></l>",
                              u"x.xml"));
    EXPECT_EQ(list.lastError(),
              u"Unable to load file: the value of attribute 'name' is longer than 256 bytes "
              u"(line 2, column 0).");
    // Refused in an empty element's start (Expat still reports its end).
    EXPECT_FALSE(list.loadXml("<" + longName + "/>", u"x.xml"));
    EXPECT_FALSE(list.loadXml("<l><" + longName + "/></l>", u"x.xml"));
    EXPECT_EQ(list.lastError().find(u"Unable to load file: an element or attribute name is longer"),
              0u);
    EXPECT_FALSE(list.loadXml("<l><p name='a' file='f' params='" + longValue + "'/></l>", u"x"));
    EXPECT_EQ(list.lastError().find(u"Unable to load file: the value of attribute 'params' is "
                                    u"longer than 32768 bytes"),
              0u);
    // At the caps everything is accepted.
    ASSERT_TRUE(list.loadXml("<l><plugins><p name='" + longName.substr(1) + "' file='f' params='" +
                                 longValue.substr(1) + "'/></plugins></l>",
                             u"x.xml"));
    EXPECT_EQ(list.readEntries("plugins").size(), 1u);

    PluginList inlineList = makeList();
    EXPECT_FALSE(inlineList.loadList(u"@XMLFILE:name=a;file=a.so|name=" +
                                     std::u16string(longName.begin(), longName.end()) +
                                     u";file=b.so"));
    EXPECT_EQ(inlineList.lastError(),
              u"Unable to load the inline plugin list: a value in record 2 is longer than 256 "
              u"bytes.");
    PluginList inlineParams = makeList();
    EXPECT_FALSE(inlineParams.loadList(u"@XMLFILE:name=a;file=a.so;params=" +
                                       std::u16string(longValue.begin(), longValue.end())));
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
