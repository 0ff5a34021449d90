#include "security/signature_file.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace holm::security {
namespace {

constexpr std::string_view kMessageMagic{"holm-file-signature-1\0", 22};
constexpr std::string_view kHeader = "holm-signature ";
constexpr std::string_view kVersion = "1";
constexpr size_t kLineCount = 6;

void appendLittleEndian(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// Splits text made of complete lines (each ending in '\n') into exactly
// `count` lines; false for any other shape.
bool splitLines(std::string_view text, std::array<std::string_view, kLineCount>& lines) {
    size_t index = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos || index == lines.size()) {
            return false;
        }
        lines[index++] = text.substr(0, end);
        text.remove_prefix(end + 1);
    }
    return index == lines.size();
}

std::optional<std::string_view> fieldValue(std::string_view line, std::string_view key) {
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') {
        return std::nullopt;
    }
    return line.substr(key.size() + 1);
}

// Decimal without sign, leading zeros or overflow.
std::optional<uint64_t> parseSize(std::string_view text) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool isDecimal(std::string_view text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The version is read from the first line alone, so that a later format with
// other fields is reported as a version this host does not know.
std::optional<Reason> checkHeader(std::string_view text) {
    const std::string_view firstLine = text.substr(0, text.find('\n'));
    if (firstLine.substr(0, kHeader.size()) != kHeader) {
        return Reason::BadSignatureFormat;
    }
    const std::string_view version = firstLine.substr(kHeader.size());
    if (version == kVersion) {
        return std::nullopt;
    }
    return isDecimal(version) ? Reason::UnsupportedSignatureVersion : Reason::BadSignatureFormat;
}

}  // namespace

bool isSignableName(std::string_view name) {
    if (name.empty() || name.size() > kMaxSignedNameLength || name == "." || name == "..") {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || byte < 0x20 || byte == 0x7F;
    });
}

std::vector<uint8_t> signedMessage(const SignedRecord& record) {
    std::vector<uint8_t> message(kMessageMagic.begin(), kMessageMagic.end());
    appendLittleEndian(message, record.name.size(), 2);
    message.insert(message.end(), record.name.begin(), record.name.end());
    appendLittleEndian(message, record.size, 8);
    message.insert(message.end(), record.digest.begin(), record.digest.end());
    return message;
}

SignatureFile signRecord(const SignedRecord& record, const PrivateKey& key) {
    SignatureFile result;
    result.keyId = key.publicKey().id();
    result.record = record;
    result.signature = key.sign(signedMessage(record));
    return result;
}

std::string formatSignatureFile(const SignatureFile& signature) {
    std::string text;
    text += std::string(kHeader) + std::string(kVersion) + "\n";
    text += "key-id " + toHex(signature.keyId) + "\n";
    text += "name " + signature.record.name + "\n";
    text += "size " + std::to_string(signature.record.size) + "\n";
    text += "sha256 " + toHex(signature.record.digest) + "\n";
    text += "ed25519 " + toHex(signature.signature) + "\n";
    return text;
}

platform::Result<SignatureFile, Reason> parseSignatureFile(std::string_view text) {
    if (text.size() > kMaxSignatureFileSize) {
        return Reason::SignatureTooLarge;
    }
    if (auto headerRefusal = checkHeader(text)) {
        return *headerRefusal;
    }
    std::array<std::string_view, kLineCount> lines;
    if (!splitLines(text, lines)) {
        return Reason::BadSignatureFormat;
    }
    const auto keyId = fieldValue(lines[1], "key-id");
    const auto name = fieldValue(lines[2], "name");
    const auto sizeText = fieldValue(lines[3], "size");
    const auto digest = fieldValue(lines[4], "sha256");
    const auto signature = fieldValue(lines[5], "ed25519");
    if (!keyId || !name || !sizeText || !digest || !signature || !isSignableName(*name)) {
        return Reason::BadSignatureFormat;
    }
    SignatureFile result;
    const auto size = parseSize(*sizeText);
    if (!size || !fromHex(*keyId, result.keyId) || !fromHex(*digest, result.record.digest) ||
        !fromHex(*signature, result.signature)) {
        return Reason::BadSignatureFormat;
    }
    result.record.name = std::string(*name);
    result.record.size = *size;
    return result;
}

}  // namespace holm::security
