#include "core/plugin_list.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "common/format.h"
#include "common/path_parts.h"
#include "common/utf16.h"
#include "platform/debug_output.h"
#include "platform/io.h"

namespace holm::core {

namespace {

constexpr std::u16string_view kInlinePrefix = u"@XMLFILE:";

// Error numbers of the document loader, as reported in
// "Unable to load file (error #%d)." (4 is a parse error, reported with the
// parser's own code instead).
enum LoadError : int { kNoMemory = 1, kFileMissing = 2, kTooLarge = 3, kParseError = 4 };

std::u16string baseName(const std::u16string& path) {
    return std::u16string(common::fileNameOf(path));
}

// What a setting's text is trimmed of.
constexpr const char* kBlanks = " \t\r\n";

// Why a document was refused while it was being built.
enum class Refusal { kNone, kTooLarge, kDeclarations, kNameTooLong, kValueTooLong };

// Builds an XmlTree from Expat's callbacks with an explicit stack of open
// elements instead of recursion, and stops the parser at the first thing a
// plugin list may not contain.
class TreeBuilder {
  public:
    explicit TreeBuilder(XmlTree& tree) : tree_(tree), elements_(tree.elements()) {}

    Refusal refusal() const { return refusal_; }
    int line() const { return line_; }
    int column() const { return column_; }
    const std::string& offendingName() const { return offendingName_; }

    static void onStart(void* self, const XML_Char* tag, const XML_Char** attributes) {
        static_cast<TreeBuilder*>(self)->start(tag, attributes);
    }
    // After a stop in a start handler Expat may still deliver the end of
    // that (empty) element, which was never opened here.
    static void onEnd(void* self, const XML_Char*) {
        auto* builder = static_cast<TreeBuilder*>(self);
        if (builder->refusal_ == Refusal::kNone && !builder->open_.empty()) {
            builder->open_.pop_back();
        }
    }
    static void onText(void* self, const XML_Char* text, int length) {
        auto* builder = static_cast<TreeBuilder*>(self);
        if (builder->refusal_ != Refusal::kNone || builder->open_.empty()) {
            return;
        }
        std::string& kept = builder->elements_[builder->open_.back()].text;
        const std::string_view piece(text, static_cast<size_t>(length));
        // The blanks between elements are most of a list's character data
        // and are trimmed off any setting anyway.
        if (kept.empty() && piece.find_first_not_of(kBlanks) == std::string_view::npos) {
            return;
        }
        kept.append(piece);
    }
    // Entities can only be declared in an internal subset (external ones are
    // never read), so refusing the subset refuses every declaration before
    // the parser has stored one.
    static void onDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*,
                          int hasInternalSubset) {
        if (hasInternalSubset) {
            static_cast<TreeBuilder*>(self)->refuse(Refusal::kDeclarations, {});
        }
    }
    static void onEntity(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                         const XML_Char*, const XML_Char*, const XML_Char*) {
        static_cast<TreeBuilder*>(self)->refuse(Refusal::kDeclarations, {});
    }

    XML_Parser parser = nullptr;

  private:
    void refuse(Refusal refusal, std::string name) {
        if (refusal_ != Refusal::kNone) {
            return;
        }
        refusal_ = refusal;
        offendingName_ = std::move(name);
        line_ = static_cast<int>(XML_GetCurrentLineNumber(parser));
        column_ = static_cast<int>(XML_GetCurrentColumnNumber(parser));
        XML_StopParser(parser, XML_FALSE);
    }

    // False (and the parser stopped) when a name or value is over its cap.
    bool withinCaps(std::string_view name, std::string_view value) {
        if (name.size() > PluginList::kMaxNameBytes) {
            refuse(Refusal::kNameTooLong, {});
            return false;
        }
        const size_t cap =
            name == "name" ? PluginList::kMaxNameBytes : PluginList::kMaxAttributeBytes;
        if (value.size() > cap) {
            refuse(Refusal::kValueTooLong, std::string(name));
            return false;
        }
        return true;
    }

    // Stores the element's tag and attributes, checking each against its cap
    // as it goes (a refused document is dropped as a whole, so what was
    // stored before the refusal does not matter).
    bool storeElement(const XML_Char* tag, const XML_Char** attributes, XmlTree::Element& element) {
        const std::string_view tagName(tag);
        if (tagName.size() > PluginList::kMaxNameBytes) {
            refuse(Refusal::kNameTooLong, {});
            return false;
        }
        auto& allAttributes = tree_.attributes();
        element.firstAttribute = static_cast<uint32_t>(allAttributes.size());
        bool stored = tree_.store(tagName, element.tag);
        for (size_t i = 0; stored && attributes[i] != nullptr; i += 2) {
            const std::string_view name(attributes[i]);
            const std::string_view value(attributes[i + 1]);
            if (!withinCaps(name, value)) {
                return false;
            }
            XmlTree::Attribute attribute;
            stored = tree_.store(name, attribute.name) && tree_.store(value, attribute.value);
            allAttributes.push_back(attribute);
            ++element.attributeCount;
        }
        if (!stored) {
            refuse(Refusal::kTooLarge, {});
        }
        return stored;
    }

    void start(const XML_Char* tag, const XML_Char** attributes) {
        if (elements_.size() >= PluginList::kMaxElements) {
            refuse(Refusal::kTooLarge, {});
            return;
        }
        const auto index = static_cast<uint32_t>(elements_.size());
        XmlTree::Element element;
        if (!storeElement(tag, attributes, element)) {
            return;
        }
        elements_.push_back(std::move(element));
        if (!open_.empty()) {
            XmlTree::Element& parent = elements_[open_.back()];
            if (parent.lastChild == XmlTree::kNone) {
                parent.firstChild = index;
            } else {
                elements_[parent.lastChild].nextSibling = index;
            }
            parent.lastChild = index;
        }
        open_.push_back(index);
    }

    XmlTree& tree_;
    std::vector<XmlTree::Element>& elements_;
    std::vector<uint32_t> open_;
    Refusal refusal_ = Refusal::kNone;
    int line_ = 0;
    int column_ = 0;
    std::string offendingName_;
};

// The error text for a document the builder refused.
std::u16string refusalText(const TreeBuilder& builder) {
    switch (builder.refusal()) {
        case Refusal::kTooLarge:
            return common::format(u"Unable to load file (error #%d).", kTooLarge);
        case Refusal::kDeclarations:
            return common::format(
                u"Unable to load file: a plugin list may not declare entities or have an "
                u"internal DTD subset (line %d, column %d).",
                builder.line(), builder.column());
        case Refusal::kNameTooLong:
            return common::format(
                u"Unable to load file: an element or attribute name is longer than %d bytes "
                u"(line %d, column %d).",
                static_cast<int>(PluginList::kMaxNameBytes), builder.line(), builder.column());
        case Refusal::kValueTooLong:
        default: {
            const bool isName = builder.offendingName() == "name";
            return common::format(
                u"Unable to load file: the value of attribute '%hs' is longer than %d bytes "
                u"(line %d, column %d).",
                builder.offendingName().c_str(),
                static_cast<int>(isName ? PluginList::kMaxNameBytes
                                        : PluginList::kMaxAttributeBytes),
                builder.line(), builder.column());
        }
    }
}

struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

// Whitespace around a setting's text is layout, not value.
std::string trimmedText(const std::string& text) {
    auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::u16string trimQuotes(std::u16string_view value) {
    value = common::trim(value);
    while (!value.empty() && value.front() == u'"') {
        value.remove_prefix(1);
    }
    while (!value.empty() && value.back() == u'"') {
        value.remove_suffix(1);
    }
    return std::u16string(value);
}

std::vector<std::u16string_view> split(std::u16string_view text, char16_t separator) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

}  // namespace

const XmlTree::Element* XmlTree::firstChild(const Element& parent, std::string_view tag) const {
    for (uint32_t child = parent.firstChild; child != kNone; child = elements_[child].nextSibling) {
        if (this->tag(elements_[child]) == tag) {
            return &elements_[child];
        }
    }
    return nullptr;
}

std::optional<std::string_view> XmlTree::attribute(const Element& element,
                                                   std::string_view name) const {
    std::optional<std::string_view> value;
    for (uint32_t i = 0; i < element.attributeCount; ++i) {
        const Attribute& attribute = attributes_[element.firstAttribute + i];
        if (text(attribute.name) == name) {
            value = text(attribute.value);
        }
    }
    return value;
}

bool XmlTree::store(std::string_view piece, Span& span) {
    if (piece.size() > UINT32_MAX - pool_.size()) {
        return false;
    }
    span = Span{static_cast<uint32_t>(pool_.size()), static_cast<uint32_t>(piece.size())};
    pool_.append(piece);
    return true;
}

// Names and values take less room than their markup, so the document's size
// bounds the pool; elements and attributes are guessed from typical lists.
// Beyond a megabyte the arrays grow as they go.
void XmlTree::reserve(size_t documentBytes) {
    const size_t bytes = std::min<size_t>(documentBytes, 1u << 20);
    pool_.reserve(bytes);
    elements_.reserve(bytes / 64);
    attributes_.reserve(bytes / 32);
}

bool isInlinePluginList(std::u16string_view text) {
    return text.size() >= kInlinePrefix.size() &&
           common::equalsNoCase(text.substr(0, kInlinePrefix.size()), kInlinePrefix);
}

PluginList::PluginList(PathResolver resolvePath, SymbolResolver resolveSymbol)
    : resolvePath_(std::move(resolvePath)), resolveSymbol_(std::move(resolveSymbol)) {}

bool PluginList::loadList(const std::u16string& text) {
    if (isInlinePluginList(text)) {
        inline_ = true;
        inlineText_ =
            std::u16string(common::trim(std::u16string_view(text).substr(kInlinePrefix.size())));
        if (checkInlineText()) {
            return true;
        }
        platform::debugOutput(common::utf16ToUtf8(lastError_));
        return false;
    }
    lastError_.clear();
    // One byte more than a document may hold, so that loadXml sees (and
    // names) a document that is too large.
    const auto content =
        platform::io::readSmallFile(common::utf16ToUtf8(text), kMaxDocumentBytes + 1);
    if (!content && content.error().errnoValue() == EFBIG) {
        lastError_ = common::format(u"Unable to load file (error #%d).", kTooLarge);
    } else if (!content) {
        lastError_ = common::format(u"Unable to find file (%s).", text.c_str());
    } else if (loadXml(*content, text)) {
        return true;
    }
    platform::debugOutput(common::utf16ToUtf8(baseName(text) + u": " + lastError_));
    return false;
}

bool PluginList::loadXml(std::string_view content, const std::u16string& path) {
    lastError_.clear();
    if (open_) {
        lastError_ = u"XML file is already opened.";
        return false;
    }
    if (content.size() > kMaxDocumentBytes) {
        lastError_ = common::format(u"Unable to load file (error #%d).", kTooLarge);
        return false;
    }
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate("UTF-8"));
    if (!parser) {
        lastError_ = common::format(u"Unable to load file (error #%d).", kNoMemory);
        return false;
    }
    // No external or parameter entities: a plugin list is self-contained.
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    XmlTree tree;
    tree.reserve(content.size());
    TreeBuilder builder(tree);
    builder.parser = parser.get();
    XML_SetUserData(parser.get(), &builder);
    XML_SetElementHandler(parser.get(), &TreeBuilder::onStart, &TreeBuilder::onEnd);
    XML_SetCharacterDataHandler(parser.get(), &TreeBuilder::onText);
    XML_SetStartDoctypeDeclHandler(parser.get(), &TreeBuilder::onDoctype);
    XML_SetEntityDeclHandler(parser.get(), &TreeBuilder::onEntity);
    const auto status =
        XML_Parse(parser.get(), content.data(), static_cast<int>(content.size()), XML_TRUE);
    if (builder.refusal() != Refusal::kNone) {
        lastError_ = refusalText(builder);
        return false;
    }
    if (status != XML_STATUS_OK) {
        const XML_Error code = XML_GetErrorCode(parser.get());
        lastError_ = common::format(
            u"Parsing error #%d (line %d, column %d): %hs.", static_cast<int>(code),
            static_cast<int>(XML_GetCurrentLineNumber(parser.get())),
            static_cast<int>(XML_GetCurrentColumnNumber(parser.get())), XML_ErrorString(code));
        return false;
    }
    tree_ = std::move(tree);
    open_ = true;
    return true;
}

void PluginList::addEntry(std::vector<PluginListEntry>& entries, std::u16string name,
                          std::u16string file, std::u16string params) const {
    if (name.empty() || file.empty()) {
        return;
    }
    entries.push_back(
        {std::move(name), resolvePath_ ? resolvePath_(file) : file, std::move(params)});
}

std::vector<PluginListEntry> PluginList::readEntries(std::string_view tag) const {
    if (inline_) {
        return tag == "plugins" ? readInlineEntries() : std::vector<PluginListEntry>{};
    }
    std::vector<PluginListEntry> entries;
    if (!open_) {
        return entries;
    }
    const XmlTree::Element* list = tree_.firstChild(tree_.root(), tag);
    if (list == nullptr) {
        return entries;
    }
    size_t children = 0;
    for (uint32_t child = list->firstChild; child != XmlTree::kNone;
         child = tree_.at(child).nextSibling) {
        ++children;
    }
    entries.reserve(children);
    for (uint32_t child = list->firstChild; child != XmlTree::kNone;
         child = tree_.at(child).nextSibling) {
        const auto& element = tree_.at(child);
        auto value = [&](std::string_view name) {
            const auto text = tree_.attribute(element, name);
            return text ? common::utf8ToUtf16(*text) : std::u16string();
        };
        addEntry(entries, value("name"), value("file"), value("params"));
    }
    return entries;
}

std::vector<PluginListEntry> PluginList::readInlineEntries() const {
    std::vector<PluginListEntry> entries;
    for (auto record : split(inlineText_, u'|')) {
        std::u16string name, file, params;
        for (auto field : split(record, u';')) {
            auto equals = field.find(u'=');
            if (equals == std::u16string_view::npos) {
                continue;
            }
            auto key = common::trim(field.substr(0, equals));
            auto value = trimQuotes(field.substr(equals + 1));
            if (common::equalsNoCase(key, u"name")) {
                name = std::move(value);
            } else if (common::equalsNoCase(key, u"file")) {
                file = std::move(value);
            } else if (common::equalsNoCase(key, u"params")) {
                params = std::move(value);
            }
        }
        addEntry(entries, std::move(name), std::move(file), std::move(params));
    }
    return entries;
}

bool PluginList::checkInlineText() {
    lastError_.clear();
    int record = 0;
    for (auto fields : split(inlineText_, u'|')) {
        ++record;
        for (auto field : split(fields, u';')) {
            const auto equals = field.find(u'=');
            if (equals == std::u16string_view::npos) {
                continue;
            }
            const bool isName =
                common::equalsNoCase(common::trim(field.substr(0, equals)), u"name");
            const size_t cap = isName ? kMaxNameBytes : kMaxAttributeBytes;
            if (common::utf16ToUtf8(trimQuotes(field.substr(equals + 1))).size() > cap) {
                lastError_ = common::format(
                    u"Unable to load the inline plugin list: a value in record %d is longer than "
                    u"%d bytes.",
                    record, static_cast<int>(cap));
                return false;
            }
        }
    }
    return true;
}

const std::u16string& PluginList::getListAttribute(const std::u16string& name,
                                                   const std::u16string& defaultValue) {
    settingResult_ = defaultValue;
    if (inline_ || !open_) {
        return settingResult_;
    }
    const XmlTree::Element* service = tree_.firstChild(tree_.root(), "service");
    const XmlTree::Element* setting =
        service ? tree_.firstChild(*service, common::utf16ToUtf8(name)) : nullptr;
    if (setting == nullptr) {
        return settingResult_;
    }
    std::u16string value = common::utf8ToUtf16(trimmedText(setting->text));
    if (value.empty()) {
        return settingResult_;
    }
    settingResult_ =
        value.front() == u'#' && resolveSymbol_ ? resolveSymbol_(value) : std::move(value);
    return settingResult_;
}

void PluginList::close() {
    if (!open_) {
        lastError_ = u"XML file is not opened.";
        return;
    }
    tree_ = XmlTree();
    open_ = false;
}

void PluginList::unloadLibrary() {
    if (open_) {
        close();
    }
}

}  // namespace holm::core
