#include "services/command_line.h"

#include "common/utf16.h"
#include "platform/process_info.h"

namespace holm::services {

namespace {

common::Mutex gProcessLineLock;
bool gProcessLineSet GUARDED_BY(gProcessLineLock) = false;
std::u16string gProcessLine GUARDED_BY(gProcessLineLock);

std::u16string_view trimBlanks(std::u16string_view text) {
    while (!text.empty() && text.front() == u' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == u' ') {
        text.remove_suffix(1);
    }
    return text;
}

std::u16string_view trimChars(std::u16string_view text, std::u16string_view chars) {
    while (!text.empty() && chars.find(text.front()) != std::u16string_view::npos) {
        text.remove_prefix(1);
    }
    while (!text.empty() && chars.find(text.back()) != std::u16string_view::npos) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::u16string processCommandLine() {
    common::MutexLock guard(gProcessLineLock);
    if (!gProcessLineSet) {
        gProcessLine = common::utf8ToUtf16(platform::commandLineText());
        gProcessLineSet = true;
    }
    return gProcessLine;
}

void setProcessCommandLine(std::u16string text) {
    common::MutexLock guard(gProcessLineLock);
    gProcessLine = std::move(text);
    gProcessLineSet = true;
}

// The program path keeps its leading '/': stripping it would turn every
// absolute program path into a relative one.
std::u16string commandLineFromArguments(int32_t count, const char16_t* const* arguments) {
    std::u16string text;
    for (int32_t i = 0; i < count; ++i) {
        std::u16string_view argument = trimBlanks(arguments[i] ? arguments[i] : u"");
        if (i != 0) {
            argument.remove_prefix(std::min(argument.find_first_not_of(u'/'), argument.size()));
            argument.remove_prefix(std::min(argument.find_first_not_of(u'-'), argument.size()));
        }
        if (!text.empty()) {
            text += u' ';
        }
        if (i != 0) {
            text += u'/';
        }
        text += argument;
    }
    return text;
}

std::vector<std::u16string> splitSwitches(std::u16string_view text) {
    std::vector<std::u16string> parts;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'"') {
            quoted = !quoted;
        } else if (c == u'/' && !quoted && i > 0 && text[i - 1] == u' ') {
            parts.emplace_back(trimBlanks(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    parts.emplace_back(trimBlanks(text.substr(start)));
    return parts;
}

bool switchMatches(std::u16string_view switchText, std::u16string_view name) {
    auto head = switchText.substr(0, name.size() + 1);
    while (!head.empty() && (head.back() == u'=' || head.back() == u' ')) {
        head.remove_suffix(1);
    }
    return common::equalsNoCase(head, name);
}

std::u16string switchValue(std::u16string_view switchText) {
    auto equals = switchText.find(u'=');
    if (equals == std::u16string_view::npos) {
        return {};
    }
    auto value = trimBlanks(switchText.substr(equals + 1));
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"') {
        value = trimChars(value.substr(1, value.size() - 2), u" \"");
    }
    return std::u16string(value);
}

void CommandLineHolder::refresh() {
    std::u16string current = processCommandLine();
    if (parsed_ && common::equalsNoCase(current, text_)) {
        return;
    }
    text_ = std::move(current);
    switches_ = splitSwitches(text_);
    parsed_ = true;
}

bool CommandLineHolder::hasSwitch(std::u16string_view name) {
    common::MutexLock guard(lock_);
    refresh();
    for (const auto& part : switches_) {
        if (switchMatches(part, name)) {
            return true;
        }
    }
    return false;
}

std::u16string CommandLineHolder::getSwitchValue(std::u16string_view name) {
    common::MutexLock guard(lock_);
    refresh();
    for (const auto& part : switches_) {
        if (switchMatches(part, name)) {
            return switchValue(part);
        }
    }
    return {};
}

bool CCmdLineImplEx::hasSwitch(const char16_t* name) {
    common::MutexLock guard(lock_);
    return holder_.hasSwitch(name ? name : u"");
}

const char16_t* CCmdLineImplEx::getSwitchValue(const char16_t* name) {
    common::MutexLock guard(lock_);
    result_ = holder_.getSwitchValue(name ? name : u"");
    return result_.c_str();
}

}  // namespace holm::services
