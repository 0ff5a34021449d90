// holm-reg: reads, writes, deletes and watches keys of the registry store.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io.h"
#include "registry/registry.h"
#include "registry/registry_format.h"
#include "registry/registry_watch.h"

namespace io = holm::platform::io;
namespace platform = holm::platform;
namespace reg = holm::registry;

namespace holm::product {
namespace {

constexpr char kHelp[] = R"(usage:
  holm-reg query KEY [VALUE]            show a key (subkeys and values) or one value
  holm-reg set KEY VALUE TYPE DATA...   create the key if needed and write a value
  holm-reg delete KEY [VALUE]           delete a value, or a key with everything below it
  holm-reg watch KEY [--subtree] [--count N]
                                        print a line per change of the key (and below it)

KEY is a root and a path, for example 'HKLM\SOFTWARE\_avdebug'. Roots:
  HKLM  HKEY_LOCAL_MACHINE     HKCU  HKEY_CURRENT_USER (HKU\<SID of this user>)
  HKU   HKEY_USERS (subkeys are SIDs: S-1-22-1-<uid>)
  HKCR  HKEY_CLASSES_ROOT (HKLM\SOFTWARE\Classes)
VALUE is a value name; '' is the key's default value.
TYPE and DATA:
  sz TEXT, expand_sz TEXT     text
  dword N, qword N            number, decimal or 0x-hexadecimal
  binary HEX                  bytes in hexadecimal, e.g. 0a1b2c
  multi_sz TEXT...            one or more texts

Debug switches of the core (HKLM\SOFTWARE\_avdebug, dword values):
  holm-reg set 'HKLM\SOFTWARE\_avdebug' createMiniDump dword 1
      write a crash dump for each reported structured exception (exactly 1)
  holm-reg set 'HKLM\SOFTWARE\_avdebug' DisableSEH dword 1
      do not translate processor faults into exceptions (a debugger sees them)
  holm-reg set 'HKLM\SOFTWARE\_avdebug' heapCorruptionCheck dword 1
      end the process on heap corruption
  holm-reg delete 'HKLM\SOFTWARE\_avdebug' DisableSEH
      back to the default

The store is the directory HOLM_REGISTRY_DIR (default /var/lib/holm/registry).
Exit status: 0 success, 1 operation failed, 2 usage error.
)";

struct Failure {
    int status;
    std::string message;
};

std::u16string utf16(std::string_view text) {
    auto converted = reg::format::toUtf16(text);
    if (!converted) {
        throw Failure{2, "not valid UTF-8: " + std::string(text)};
    }
    return *converted;
}

std::string utf8(std::u16string_view text) {
    return reg::format::toUtf8(text).value_or("<invalid UTF-16>");
}

// A store's error as the user reads it: its text and its Windows number.
[[noreturn]] void fail(const platform::Error& error, const std::string& what) {
    const uint32_t number = error.windowsError();
    throw Failure{
        1, what + ": " + reg::describeError(number) + " (error " + std::to_string(number) + ")"};
}

void check(const platform::Status& status, const std::string& what) {
    if (!status) {
        fail(status.error(), what);
    }
}

template <typename T>
T checked(platform::Result<T> result, const std::string& what) {
    if (!result) {
        fail(result.error(), what);
    }
    return std::move(*result);
}

struct KeyName {
    reg::Root root;
    std::u16string path;
};

KeyName parseKey(std::string_view text) {
    const size_t separator = text.find('\\');
    std::string root(text.substr(0, separator));
    for (char& c : root) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::u16string path =
        separator == std::string_view::npos ? u"" : utf16(text.substr(separator + 1));
    if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
        return {reg::Root::LocalMachine, path};
    }
    if (root == "HKCU" || root == "HKEY_CURRENT_USER") {
        return {reg::Root::CurrentUser, path};
    }
    if (root == "HKU" || root == "HKEY_USERS") {
        return {reg::Root::Users, path};
    }
    if (root == "HKCR" || root == "HKEY_CLASSES_ROOT") {
        return {reg::Root::ClassesRoot, path};
    }
    throw Failure{2, "unknown root in '" + std::string(text) + "' (HKLM, HKCU, HKU, HKCR)"};
}

uint64_t parseNumber(const std::string& text, uint64_t maximum) {
    const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) {
        throw Failure{2, "not a number: " + text};
    }
    errno = 0;
    const unsigned long long number = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE || number > maximum) {
        throw Failure{2, "number out of range: " + text};
    }
    return number;
}

std::vector<uint8_t> parseHex(const std::string& text) {
    if (text.size() % 2 != 0 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw Failure{2, "binary data must be an even number of hexadecimal digits"};
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

reg::Value parseValue(const std::string& type, const std::vector<std::string>& data) {
    if (data.empty() || (type != "multi_sz" && data.size() != 1)) {
        throw Failure{2, "type " + type + " takes " + (type == "multi_sz" ? "one or more" : "one") +
                             " DATA argument"};
    }
    if (type == "sz" || type == "expand_sz") {
        return reg::makeString(utf16(data[0]),
                               type == "sz" ? reg::kTypeString : reg::kTypeExpandString);
    }
    if (type == "dword") {
        return reg::makeDword(static_cast<uint32_t>(parseNumber(data[0], UINT32_MAX)));
    }
    if (type == "qword") {
        return reg::makeQword(parseNumber(data[0], UINT64_MAX));
    }
    if (type == "binary") {
        return reg::makeBinary(parseHex(data[0]));
    }
    if (type == "multi_sz") {
        std::vector<std::u16string> items;
        for (const auto& item : data) {
            items.push_back(utf16(item));
        }
        if (auto value = reg::makeMultiString(items)) {
            return *value;
        }
        throw Failure{2, "multi_sz items must not be empty"};
    }
    throw Failure{2, "unknown type " + type + " (sz, expand_sz, dword, qword, binary, multi_sz)"};
}

std::string typeName(uint32_t type) {
    switch (type) {
        case reg::kTypeString:
            return "REG_SZ";
        case reg::kTypeExpandString:
            return "REG_EXPAND_SZ";
        case reg::kTypeBinary:
            return "REG_BINARY";
        case reg::kTypeDword:
            return "REG_DWORD";
        case reg::kTypeMultiString:
            return "REG_MULTI_SZ";
        case reg::kTypeQword:
            return "REG_QWORD";
        default:
            return "REG_TYPE_" + std::to_string(type);
    }
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::string formatData(const reg::Value& value) {
    if (auto text = reg::readString(value)) {
        return utf8(*text);
    }
    if (auto number = reg::readDword(value)) {
        return "0x" +
               hex({static_cast<uint8_t>(*number >> 24), static_cast<uint8_t>(*number >> 16),
                    static_cast<uint8_t>(*number >> 8), static_cast<uint8_t>(*number)}) +
               " (" + std::to_string(*number) + ")";
    }
    if (auto number = reg::readQword(value)) {
        return std::to_string(*number);
    }
    if (auto items = reg::readMultiString(value)) {
        std::string text;
        for (const auto& item : *items) {
            text += (text.empty() ? "" : "\\0") + utf8(item);
        }
        return text;
    }
    return hex(value.data);
}

void printValue(const std::u16string& name, const reg::Value& value) {
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : utf8(name).c_str(),
                typeName(value.type).c_str(), formatData(value).c_str());
}

void query(const reg::Store& store, const std::string& keyText,
           const std::optional<std::string>& valueName) {
    const KeyName name = parseKey(keyText);
    const reg::Key key =
        checked(reg::Key::open(store, name.root, name.path), "cannot open " + keyText);
    std::printf("%s\n", keyText.c_str());
    std::vector<std::u16string> values;
    if (valueName) {
        values.push_back(utf16(*valueName));
    } else {
        values = checked(key.enumerateValues(), "cannot list the values of " + keyText);
    }
    for (const auto& value : values) {
        printValue(value,
                   checked(key.queryValue(value), "cannot read value '" + utf8(value) + "'"));
    }
    if (!valueName) {
        const auto subkeys =
            checked(key.enumerateSubkeys(), "cannot list the subkeys of " + keyText);
        for (const auto& subkey : subkeys) {
            std::printf("%s\\%s\n", keyText.c_str(), utf8(subkey).c_str());
        }
    }
}

void set(const reg::Store& store, const std::vector<std::string>& args) {
    const KeyName name = parseKey(args[0]);
    const reg::Value value = parseValue(args[2], {args.begin() + 3, args.end()});
    const reg::Key key =
        checked(reg::Key::create(store, name.root, name.path), "cannot create " + args[0]);
    check(key.setValue(utf16(args[1]), value), "cannot write value '" + args[1] + "'");
}

void remove(const reg::Store& store, const std::string& keyText,
            const std::optional<std::string>& valueName) {
    const KeyName name = parseKey(keyText);
    if (!valueName) {
        check(reg::deleteKeyTree(store, name.root, name.path), "cannot delete " + keyText);
        return;
    }
    const reg::Key key = checked(reg::Key::open(store, name.root, name.path, reg::kKeyAllAccess),
                                 "cannot open " + keyText);
    check(key.deleteValue(utf16(*valueName)), "cannot delete value '" + *valueName + "'");
}

void watch(const reg::Store& store, const std::vector<std::string>& args) {
    const KeyName name = parseKey(args[0]);
    bool subtree = false;
    uint64_t count = 0;  // 0: until interrupted
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--subtree") {
            subtree = true;
        } else if (args[i] == "--count" && i + 1 < args.size()) {
            count = parseNumber(args[++i], UINT32_MAX);
        } else {
            throw Failure{2, "unknown watch option " + args[i]};
        }
    }
    reg::KeyWatch watcher = checked(reg::KeyWatch::create(store, name.root, name.path, subtree,
                                                          reg::kNotifyName | reg::kNotifyLastSet),
                                    "cannot watch " + args[0]);
    std::printf("watching %s\n", args[0].c_str());
    std::fflush(stdout);
    for (uint64_t changes = 0; count == 0 || changes < count;) {
        if (!io::waitReadable(watcher.fd(), io::deadlineIn(std::chrono::hours(24)))
                 .valueOr(false) ||
            !watcher.consume()) {
            continue;
        }
        std::printf("changed %s\n", args[0].c_str());
        std::fflush(stdout);
        watcher.rearm();
        ++changes;
    }
}

int run(const std::vector<std::string>& args) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kHelp, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const auto optionalArg = [&](size_t i) {
        return rest.size() > i ? std::optional<std::string>(rest[i]) : std::nullopt;
    };
    const bool known = (command == "query" && (rest.size() == 1 || rest.size() == 2)) ||
                       (command == "set" && rest.size() >= 4) ||
                       (command == "delete" && (rest.size() == 1 || rest.size() == 2)) ||
                       (command == "watch" && !rest.empty());
    if (!known) {
        throw Failure{2, "bad arguments; see holm-reg --help"};
    }
    const reg::Store store =
        checked(reg::Store::openDefault(),
                "cannot open the registry store " + reg::Store::defaultDirectory().string());
    if (command == "query") {
        query(store, rest[0], optionalArg(1));
    } else if (command == "set") {
        set(store, rest);
    } else if (command == "delete") {
        remove(store, rest[0], optionalArg(1));
    } else {
        watch(store, rest);
    }
    return 0;
}

}  // namespace
}  // namespace holm::product

int main(int argc, char** argv) {
    using namespace holm::product;
    try {
        return run({argv + 1, argv + argc});
    } catch (const Failure& failure) {
        std::fprintf(stderr, "holm-reg: %s\n", failure.message.c_str());
        return failure.status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "holm-reg: %s\n", error.what());
        return 1;
    }
}
