// The INI file (interface id 16) in its two modes.
//
// Profile mode reads the file at every get (a parsed copy is kept while the
// file is unchanged) and rewrites it at every set: under an exclusive lock
// on the file, re-read, changed and replaced atomically, so that writers in
// several objects or processes never lose each other's changes and a reader
// sees the old file or the new one. A set that changes nothing leaves the
// file untouched.
//
// Block mode works on the store of ini_block.h and writes on close.
//
// Links: a path whose last name is a symbolic link is followed only when
// every link of the chain, and the directory holding each, belongs to root
// or the service's user (platform/trusted_links.h); writes replace the
// target and keep the link. Any other link is refused: profile gets give
// their defaults and sets fail, block mode loads nothing and its close
// fails, and the host's log gets one line naming the path.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "containers/ini_block.h"
#include "containers/ini_profile.h"
#include "hlmplg/ini_file.h"

namespace holm::containers {

// A profile file parsed as it was: kept while the file stays the same.
struct IniProfileSnapshot {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    std::chrono::system_clock::time_point modified;
    IniProfile profile;
};

class CIniFileImpl : public HlmPlg::IIniFile {
  public:
    // Profile-mode files above this size are not read (gets give their
    // defaults, sets fail): no profile file is that large, and the bound
    // keeps a wrong path from filling memory.
    static constexpr size_t kMaxProfileFileSize = 64u << 20;

    bool open(const char16_t* path, bool blockMode) override;
    bool close() override;
    const char16_t* getString(const char16_t* section, const char16_t* key,
                              const char16_t* defaultValue) override;
    int32_t getInt(const char16_t* section, const char16_t* key, int32_t defaultValue) override;
    uint32_t getHex(const char16_t* section, const char16_t* key, uint32_t defaultValue) override;
    bool getBool(const char16_t* section, const char16_t* key, bool defaultValue) override;
    bool getStringList(const char16_t* section, const char16_t* key, const char16_t* defaultValue,
                       HlmPlg::IStringList* out, const char16_t* separator) override;
    bool setString(const char16_t* section, const char16_t* key, const char16_t* value) override;
    bool setInt(const char16_t* section, const char16_t* key, int32_t value) override;
    bool setHex(const char16_t* section, const char16_t* key, uint32_t value) override;
    bool setBool(const char16_t* section, const char16_t* key, bool value) override;
    bool setStringList(const char16_t* section, const char16_t* key, HlmPlg::IStringList* list,
                       const char16_t* separator) override;

  private:
    // The edits a list write makes, on either mode's store.
    class Edits;
    class BlockEdits;
    class ProfileEdits;

    const char16_t* profileString(const char16_t* section, const char16_t* key,
                                  const char16_t* defaultValue);
    // The value of the key as the file has it; nullopt when absent.
    std::optional<std::u16string> lookup(std::u16string_view section, std::u16string_view key);
    // The profile file as it is now (an empty document when it is missing or
    // cannot be read).
    const holm::containers::IniProfile& currentProfile();
    bool profileSetString(const char16_t* section, const char16_t* key, const char16_t* value);
    // Creates a missing file as an empty UTF-16LE file, once per object.
    bool ensureUnicodeFile();
    // The file profile mode reads and replaces, after trusted links; empty
    // when a link was refused.
    std::string profilePath() const;
    bool writeList(Edits& edits, std::u16string_view section, std::u16string_view key,
                   const std::vector<std::u16string>& strings, const char16_t* separator);

    using Snapshot = holm::containers::IniProfileSnapshot;

    std::u16string path_;
    bool blockMode_ = false;
    std::u16string resultText_;
    bool newFileChecked_ = false;
    CIniFileWithBlockMode block_;
    std::optional<Snapshot> snapshot_;
};

}  // namespace holm::containers
