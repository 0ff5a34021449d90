// The plugin list: an XML document or the compact inline form
// ("@XMLFILE:name=...;file=...;params=...|..."), with its entry lists
// ("plugins", "plugins2") and service settings ("service").
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace holm::core {

// One entry handed to the loader. `file` is already a full path.
struct PluginListEntry {
    std::u16string name;
    std::u16string file;
    std::u16string params;

    bool operator==(const PluginListEntry&) const = default;
};

// A parsed XML document: a flat array of elements linked by index, so that
// building and freeing it never recurses, whatever the nesting depth. Tags,
// attribute names and values live in one text pool and the attributes of
// all elements in one array, so that a document costs a few allocations in
// all rather than several per element.
class XmlTree {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    // A piece of the text pool.
    struct Span {
        uint32_t offset = 0;
        uint32_t size = 0;
    };
    struct Attribute {
        Span name;
        Span value;
    };
    struct Element {
        Span tag;
        uint32_t firstAttribute = 0;  // index into the attribute array
        uint32_t attributeCount = 0;  // in document order
        // Direct character data; pieces of blanks only that come before any
        // other character are left out (settings are read trimmed).
        std::string text;
        uint32_t firstChild = kNone;
        uint32_t lastChild = kNone;
        uint32_t nextSibling = kNone;
    };

    bool empty() const { return elements_.empty(); }
    const Element& root() const { return elements_.front(); }
    const Element& at(uint32_t index) const { return elements_[index]; }
    std::string_view text(Span span) const {
        return std::string_view(pool_).substr(span.offset, span.size);
    }
    std::string_view tag(const Element& element) const { return text(element.tag); }
    // The first child of `parent` whose tag equals `tag` (case-sensitive).
    const Element* firstChild(const Element& parent, std::string_view tag) const;
    // The value of the last attribute called `name` (the later duplicate
    // wins); nullopt when there is none.
    std::optional<std::string_view> attribute(const Element& element, std::string_view name) const;

    // For the builder: appends to the pool (false when the pool would
    // outgrow 32-bit offsets), and the element and attribute arrays.
    bool store(std::string_view piece, Span& span);
    std::vector<Element>& elements() { return elements_; }
    std::vector<Attribute>& attributes() { return attributes_; }
    void reserve(size_t documentBytes);

  private:
    std::string pool_;
    std::vector<Element> elements_;
    std::vector<Attribute> attributes_;
};

class PluginList {
  public:
    // Turns a list entry's file into a full path (relative names resolve
    // against the product directory).
    using PathResolver = std::function<std::u16string(const std::u16string&)>;
    // Resolves a symbolic "#NAME" setting value; empty when unknown.
    using SymbolResolver = std::function<std::u16string(const std::u16string&)>;

    PluginList(PathResolver resolvePath, SymbolResolver resolveSymbol);

    // Opens the list in either form: a path, or "@XMLFILE:" plus the inline
    // list. False with lastError() set when the document cannot be read.
    bool loadList(const std::u16string& text);
    // Opens an XML document already read into memory (the verified content
    // of the list file); `path` names it in error texts. A document with a
    // document type declaration that has an internal subset (where entities
    // would be declared) is refused, as are names and values over the caps
    // below: a plugin list has no use for either, and entity expansion costs
    // memory and time out of all proportion to the document.
    bool loadXml(std::string_view content, const std::u16string& path);
    // "plugins" or "plugins2" entries with non-empty name and file.
    std::vector<PluginListEntry> readEntries(std::string_view tag) const;
    // A "service" setting, or `defaultValue`. Valid until the next call.
    const std::u16string& getListAttribute(const std::u16string& name,
                                           const std::u16string& defaultValue);
    // Releases the document; sets "XML file is not opened." without one.
    void close();
    // Releases the XML document after start-up (the settings are not read
    // after the entry lists).
    void unloadLibrary();

    bool isInline() const { return inline_; }
    const std::u16string& lastError() const { return lastError_; }

    // The largest list file read (a plugin list is a few kilobytes).
    static constexpr size_t kMaxDocumentBytes = 16u << 20;
    // The most elements a document may have.
    static constexpr size_t kMaxElements = 1u << 20;
    // The longest element or attribute name, and the longest value of a
    // "name" attribute (a plugin's name), in UTF-8 bytes. The same cap holds
    // for names in the inline form.
    static constexpr size_t kMaxNameBytes = 256;
    // The longest attribute value (and inline field), in UTF-8 bytes.
    static constexpr size_t kMaxAttributeBytes = 32u << 10;

  private:
    std::vector<PluginListEntry> readInlineEntries() const;
    // Checks the lengths of the inline form's fields; sets lastError_.
    bool checkInlineText();
    void addEntry(std::vector<PluginListEntry>& entries, std::u16string name, std::u16string file,
                  std::u16string params) const;

    PathResolver resolvePath_;
    SymbolResolver resolveSymbol_;
    XmlTree tree_;
    bool open_ = false;
    bool inline_ = false;
    std::u16string inlineText_;
    std::u16string lastError_;
    std::u16string settingResult_;
};

// True when `text` starts with "@XMLFILE:" (A-Z case-insensitive).
bool isInlinePluginList(std::u16string_view text);

}  // namespace holm::core
