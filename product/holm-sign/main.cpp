// holm-sign: the signing tool of the product. See usage() for the commands
// and exit codes.
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <vector>

#include "platform/verified_open.h"
#include "security/crypto.h"
#include "security/signing.h"
#include "security/trust_store.h"
#include "security/verified_file.h"

namespace holm::product {
namespace {

using namespace holm::security;

// Exit codes. A refused verification exits with kRefusedBase plus the
// refusal's number (see usage()).
enum ExitCode {
    kOk = 0,
    kUsage = 1,
    kBadKey = 2,
    kCannotSign = 3,
    kCannotWrite = 4,
    kRefusedBase = 20,
};

constexpr Reason kRefusals[] = {
    Reason::NotFound,
    Reason::SymbolicLink,
    Reason::NotRegularFile,
    Reason::UntrustedOwner,
    Reason::WritableByOthers,
    Reason::DirectoryUntrustedOwner,
    Reason::DirectoryWritableByOthers,
    Reason::OpenFailed,
    Reason::ReadFailed,
    Reason::NoSignature,
    Reason::SignatureNotRegularFile,
    Reason::SignatureTooLarge,
    Reason::BadSignatureFormat,
    Reason::UnsupportedSignatureVersion,
    Reason::UntrustedKey,
    Reason::BadSignature,
    Reason::WrongName,
    Reason::WrongSize,
    Reason::DigestMismatch,
    Reason::NotProductKey,
    Reason::TooLarge,
};

int refusalExitCode(Reason reason) {
    return kRefusedBase + static_cast<int>(reason) - static_cast<int>(Reason::NotFound) + 1;
}

void usage(std::ostream& out) {
    out << "usage:\n"
           "  holm-sign sign --key KEY FILE...       write FILE.sig for every FILE\n"
           "  holm-sign verify [--relaxed] [--product] [--trust PUBKEY]... FILE...\n"
           "                                         check FILEs as the host does\n"
           "  holm-sign keygen --out PREFIX          write PREFIX.key (0600) and PREFIX.pub\n"
           "  holm-sign show-key KEYFILE             print a key's id and whether it is\n"
           "                                         this build's development key\n"
           "\n"
           "verify trusts this build's product key, the keys enrolled in\n"
        << kDefaultTrustedKeysDir << " (or $" << kTrustedKeysDirVariable
        << ") and every --trust key; it says whether a file is signed\nwith the product key (valid "
           "for the core library and the product's files, and for\nplugins) or with an enrolled "
           "key (valid for plugins and their data only).\n--product checks FILEs as product "
           "files: the product key alone.\n--relaxed also accepts an unsigned file that only its "
           "owner can change.\n\nexit codes:\n"
           "   0  success\n"
           "   1  usage error\n"
           "   2  key file unreadable or not an Ed25519 key\n"
           "   3  a file could not be signed (missing, not a regular file, unreadable)\n"
           "   4  a signature or key file could not be written\n";
    for (Reason reason : kRefusals) {
        out << "  " << refusalExitCode(reason) << "  verify refused: " << describe(reason) << "\n";
    }
}

int fail(int code, const std::string& message) {
    std::cerr << "holm-sign: " << message << "\n";
    return code;
}

std::optional<std::string> keyText(const std::string& path) {
    auto text = readKeyFile(path);
    if (!text) {
        std::cerr << "holm-sign: " << path << ": " << text.error().message << "\n";
        return std::nullopt;
    }
    return std::move(*text);
}

std::string keyIdText(const PublicKey& key) {
    return toHex(key.id());
}

int sign(const std::vector<std::string>& args) {
    if (args.size() < 3 || args[0] != "--key") {
        return fail(kUsage, "sign needs --key KEY and at least one FILE");
    }
    const auto text = keyText(args[1]);
    const auto key = text ? PrivateKey::fromPem(*text) : std::nullopt;
    if (!key) {
        return fail(kBadKey, args[1] + ": not an Ed25519 private key");
    }
    for (size_t i = 2; i < args.size(); ++i) {
        const auto signature = signFile(args[i], *key);
        if (!signature) {
            return fail(kCannotSign, args[i] + ": " + signature.error().message);
        }
        if (const auto written = writeSignatureFile(args[i], *signature); !written) {
            return fail(kCannotWrite, written.error().message);
        }
        std::cout << "signed " << args[i] << " (key " << keyIdText(key->publicKey()) << ")\n";
    }
    return kOk;
}

// Which role a file passed under: who signed it and what that key may sign.
std::string signerText(std::optional<KeyRole> signer) {
    if (!signer) {
        return {};
    }
    return *signer == KeyRole::Product
               ? ", signed with the product key: valid as a product file and as a plugin file"
               : ", signed with an enrolled key: valid as a plugin file only (plugins and their "
                 "data)";
}

int verify(const std::vector<std::string>& args) {
    TrustStore trust = TrustStore::system();
    for (const IgnoredKey& ignored : trust.ignored()) {
        std::cerr << "holm-sign: ignored enrolled key " << ignored.path << ": " << ignored.why
                  << "\n";
    }
    VerifyOptions options;
    FileRole role = FileRole::Plugin;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--relaxed") {
            options.relaxed = true;
        } else if (args[i] == "--product") {
            role = FileRole::Product;
        } else if (args[i] == "--trust" && i + 1 < args.size()) {
            const auto text = keyText(args[++i]);
            const auto key = text ? PublicKey::fromPem(*text) : std::nullopt;
            if (!key) {
                return fail(kBadKey, args[i] + ": not an Ed25519 public key");
            }
            trust.add(*key);
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.empty()) {
        return fail(kUsage, "verify needs at least one FILE");
    }
    int result = kOk;
    for (const std::string& file : files) {
        const VerifiedFile verified = VerifiedFile::open(file, trust, role, options);
        std::cout << file << ": " << (verified.passed() ? "OK" : "REFUSED") << " ("
                  << describe(verified.reason()) << ")" << signerText(verified.signer()) << "\n";
        if (!verified.passed() && result == kOk) {
            result = refusalExitCode(verified.reason());
        }
    }
    return result;
}

int keygen(const std::vector<std::string>& args) {
    if (args.size() != 2 || args[0] != "--out") {
        return fail(kUsage, "keygen needs --out PREFIX");
    }
    const auto key = PrivateKey::generate();
    if (!key) {
        return fail(kBadKey, "cannot generate a key");
    }
    const std::string privatePath = args[1] + ".key";
    const std::string publicPath = args[1] + ".pub";
    // Checked up front so that a half-written pair is not left behind in the
    // common case; the exclusive creation below still never overwrites.
    for (const std::string& path : {privatePath, publicPath}) {
        std::error_code error;
        if (std::filesystem::symlink_status(path, error).type() !=
            std::filesystem::file_type::not_found) {
            return fail(kCannotWrite, path + ": already exists");
        }
    }
    for (const auto& [path, content, mode] :
         {std::tuple{privatePath, key->toPem(), 0600u},
          std::tuple{publicPath, key->publicKey().toPem(), 0644u}}) {
        if (const auto created = holm::platform::createNewFile(path, content, mode); !created) {
            return fail(kCannotWrite, path + ": " + created.error().message());
        }
    }
    std::cout << "wrote " << privatePath << " (keep it secret) and " << publicPath << " (key id "
              << keyIdText(key->publicKey()) << ")\n";
    return kOk;
}

int showKey(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        return fail(kUsage, "show-key needs one KEYFILE");
    }
    const auto text = keyText(args[0]);
    if (!text) {
        return kBadKey;
    }
    std::optional<PublicKey> key;
    std::string kind = "private";
    if (auto privateKey = PrivateKey::fromPem(*text)) {
        key = privateKey->publicKey();
    } else {
        key = PublicKey::fromPem(*text);
        kind = "public";
    }
    if (!key) {
        return fail(kBadKey, args[0] + ": not an Ed25519 key");
    }
    std::cout << "key id " << keyIdText(*key) << " (" << kind << " key)\n";
    if (*key == productKey()) {
        std::cout << (productKeyIsDevelopmentKey() ? "this is the development key of this build\n"
                                                   : "this is the product key of this build\n");
    } else {
        std::cout << "not the product key of this build\n";
    }
    return kOk;
}

}  // namespace
}  // namespace holm::product

int main(int argc, char** argv) {
    using namespace holm::product;
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.empty() || all[0] == "--help" || all[0] == "-h") {
        usage(all.empty() ? std::cerr : std::cout);
        return all.empty() ? kUsage : kOk;
    }
    const std::vector<std::string> args(all.begin() + 1, all.end());
    try {
        if (all[0] == "sign") {
            return sign(args);
        }
        if (all[0] == "verify") {
            return verify(args);
        }
        if (all[0] == "keygen") {
            return keygen(args);
        }
        if (all[0] == "show-key") {
            return showKey(args);
        }
    } catch (const std::exception& error) {
        return fail(kCannotSign, error.what());
    }
    usage(std::cerr);
    return kUsage;
}
