// Reading a verified data file: the one way the product and plugins read the
// files they trust (resource text files, the plugin list, and later the
// configuration library's file).
//
// VerifiedData::open runs the checks of VerifiedFile (security/verified_file.h)
// and reads the content once, bounded, from the descriptor that was checked
// into memory, and checks the signature's size and SHA-256 against those very
// bytes. What a reader parses is therefore exactly what was verified, also if
// the name is replaced or the file is rewritten in place afterwards, and a
// file cut short while it is read never faults the reader.
//
// Readers of trusted files take a VerifiedData, never a path or a descriptor:
// a read by path after a check cannot be written by accident.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "security/reason.h"
#include "security/trust_store.h"
#include "security/verified_file.h"

namespace holm::security {

class VerifiedData {
  public:
    // Largest file read; larger ones are refused (TooLarge).
    static constexpr uint64_t kMaxSize = 64u * 1024 * 1024;

    static VerifiedData open(const std::string& path, const TrustStore& trust, FileRole role,
                             const VerifyOptions& options = {});

    // Moving keeps the content at the same address.
    VerifiedData(VerifiedData&&) noexcept = default;
    VerifiedData& operator=(VerifiedData&&) noexcept = default;

    bool passed() const { return accepted(reason_); }
    explicit operator bool() const { return passed(); }
    Reason reason() const { return reason_; }
    std::optional<KeyRole> signer() const { return signer_; }
    // "<path>: <reason>", for logs and tools.
    std::string message() const;
    const std::string& path() const { return path_; }

    // The verified content; empty when the file was refused.
    std::span<const std::byte> bytes() const { return content_; }
    std::string_view text() const {
        return {reinterpret_cast<const char*>(content_.data()), content_.size()};
    }

  private:
    VerifiedData(std::string path, Reason reason) : path_(std::move(path)), reason_(reason) {}

    std::string path_;
    Reason reason_;
    std::optional<KeyRole> signer_;
    std::vector<std::byte> content_;
};

// The file self-test of a data file (see selftest), with the content read as
// by VerifiedData::open.
VerifiedData selftestData(const std::string& path, UnsignedFiles unsignedFiles,
                          LoadedFiles loadedFiles, const SelftestContext& context = {});

}  // namespace holm::security
