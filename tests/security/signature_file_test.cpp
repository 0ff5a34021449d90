#include "security/signature_file.h"

#include <gtest/gtest.h>

namespace holm::security {
namespace {

SignatureFile sampleSignature() {
    static const auto key = PrivateKey::generate();
    SignedRecord record{"libsample.so", 12345, sha256(std::vector<uint8_t>{1, 2, 3})};
    return signRecord(record, *key);
}

std::optional<SignatureFile> parse(const std::string& text, Reason& refusal) {
    auto parsed = parseSignatureFile(text);
    if (!parsed) {
        refusal = parsed.error();
        return std::nullopt;
    }
    return *parsed;
}

TEST(SignatureFile, FormatsAndParsesBack) {
    const SignatureFile original = sampleSignature();
    Reason refusal = Reason::Verified;
    const auto parsed = parse(formatSignatureFile(original), refusal);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->record, original.record);
    EXPECT_EQ(parsed->keyId, original.keyId);
    EXPECT_EQ(parsed->signature, original.signature);
}

TEST(SignatureFile, RefusesEveryDeviationFromTheStrictForm) {
    const std::string good = formatSignatureFile(sampleSignature());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::vector<std::string> malformed = {
        "",
        good.substr(0, good.size() - 1),                      // last line feed missing
        good.substr(0, good.size() / 2),                      // truncated
        good + "\n",                                          // extra empty line
        good + "extra 1\n",                                   // extra field
        replaced("\n", "\r\n"),                               // other line ends
        replaced("key-id ", "keyid "),                        // wrong field name
        replaced("name libsample.so", "name a/b"),            // a path, not a name
        replaced("name libsample.so", "name .."),             // not a file name
        replaced("name libsample.so", "name "),               // empty name
        replaced("size 12345", "size 012345"),                // leading zero
        replaced("size 12345", "size -1"),                    // sign
        replaced("size 12345", "size 99999999999999999999"),  // overflow
        replaced("sha256 ", "sha256 A"),                      // too long, upper case
        replaced("holm-signature 1", "holm-signature x"),     // version not a number
        replaced("holm-signature 1", "HOLM-signature 1"),     // wrong magic
    };
    for (const std::string& text : malformed) {
        Reason refusal = Reason::Verified;
        EXPECT_FALSE(parse(text, refusal)) << text;
        EXPECT_EQ(refusal, Reason::BadSignatureFormat) << text;
    }
}

TEST(SignatureFile, TellsAnUnknownVersionAndAnOversizedFileApart) {
    Reason refusal = Reason::Verified;
    EXPECT_FALSE(parse("holm-signature 2\nwhatever\n", refusal));
    EXPECT_EQ(refusal, Reason::UnsupportedSignatureVersion);
    EXPECT_FALSE(parse(std::string(kMaxSignatureFileSize + 1, 'a'), refusal));
    EXPECT_EQ(refusal, Reason::SignatureTooLarge);
}

TEST(SignatureFile, TheSignedMessageBindsNameSizeAndDigest) {
    const SignedRecord base{"a.so", 10, {}};
    SignedRecord otherName = base;
    otherName.name = "b.so";
    SignedRecord otherSize = base;
    otherSize.size = 11;
    SignedRecord otherDigest = base;
    otherDigest.digest[31] = 1;
    for (const SignedRecord& other : {otherName, otherSize, otherDigest}) {
        EXPECT_NE(signedMessage(base), signedMessage(other));
    }
}

TEST(SignatureFile, SignableNames) {
    EXPECT_TRUE(isSignableName("libholmcore.so"));
    EXPECT_TRUE(isSignableName("CommonTextRc.dll"));
    EXPECT_FALSE(isSignableName(std::string(kMaxSignedNameLength + 1, 'a')));
    EXPECT_FALSE(isSignableName("tab\tname"));
    EXPECT_FALSE(isSignableName("."));
}

}  // namespace
}  // namespace holm::security
