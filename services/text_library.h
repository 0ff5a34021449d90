// The text libraries behind the resource-string service: the process-wide
// master texts of "CommonTextRc.dll" and a text handle that combines them
// with a source of numbered strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "utilities/master_text_reader.h"
#include "utilities/resource_text_file.h"

namespace holm::services {

// The process-wide text state: where the master text library lies, the
// library once opened, and how many resource-string objects use it. The
// first user opens the library; it is closed when the last user is gone.
class MasterTextLibrary {
  public:
    // The library "CommonTextRc.dll" in `directory` (the core library's).
    explicit MasterTextLibrary(std::u16string_view directory);

    // The state of this process, for the core library in `directory`; the
    // first call fixes the directory.
    static MasterTextLibrary& process(std::u16string_view directory);

    const std::u16string& directory() const { return directory_; }

    // Counts one user more and opens the library if it is not open. Gives the
    // master texts, or null and the Windows error of the failed open (1812
    // for an entry that is no master text, 2 for a missing library, 1244 for
    // one whose signature does not verify).
    std::shared_ptr<const Tandro::Utilities::MasterTextReader> acquire(uint32_t& error)
        EXCLUDES(lock_);
    // Counts one user less; the last one closes the library.
    void release() EXCLUDES(lock_);

  private:
    std::shared_ptr<const Tandro::Utilities::MasterTextReader> open(uint32_t& error) const;

    const std::u16string directory_;
    common::Mutex lock_;
    size_t users_ GUARDED_BY(lock_) = 0;
    std::shared_ptr<const Tandro::Utilities::MasterTextReader> texts_ GUARDED_BY(lock_);
};

// Numbered strings: a verified resource library, or a copy of the table a
// loaded module exports.
class NumberedStrings {
  public:
    // Raises Tandro::Utilities::ResourceFileError when the file is refused
    // or invalid. A plugin's library may be signed by its author; one of the
    // product files of `productDirectory` needs the product key.
    static std::shared_ptr<const NumberedStrings> fromLibrary(const std::string& path,
                                                              const std::string& productDirectory);
    // Copies and validates the table; raises ResourceFileError when invalid.
    static std::shared_ptr<const NumberedStrings> fromTable(const void* table, size_t size);

    std::optional<std::u16string> find(uint32_t id) const { return file_->find(id); }

  private:
    std::vector<std::byte> copy_;  // the module's table, which file_ reads
    std::optional<Tandro::Utilities::ResourceTextFile> file_;
};

// An opened text library: a share of the master texts and, optionally, the
// numbered strings. Texts are read the way fixed buffers read them: copied
// into the caller's buffer, cut to fit, with the full length to ask for.
class TextHandle {
  public:
    // The master texts must have been acquired (non-null).
    TextHandle(std::shared_ptr<const Tandro::Utilities::MasterTextReader> masters,
               std::shared_ptr<const NumberedStrings> strings)
        : masters_(std::move(masters)), strings_(std::move(strings)) {}

    // Copies at most `capacity - 1` units of string `id` and a terminator
    // into `buffer`; the number of units copied (0 when there is none).
    size_t loadString(uint32_t id, char16_t* buffer, size_t capacity) const;
    size_t stringLength(uint32_t id) const;
    size_t loadMasterText(std::u16string_view name, char16_t* buffer, size_t capacity) const;
    size_t masterTextLength(std::u16string_view name) const;

    // The value of the master text `name`, unexpanded; nullopt when undefined.
    std::optional<std::u16string> masterText(std::u16string_view name) const;

  private:
    std::shared_ptr<const Tandro::Utilities::MasterTextReader> masters_;
    std::shared_ptr<const NumberedStrings> strings_;
};

// The whole text through a handle's two-step read: into a buffer of 256
// units first; a text that fills 255 of them is read again at its length.
std::u16string readString(const TextHandle& handle, uint32_t id);
std::u16string readMasterText(const TextHandle& handle, std::u16string_view name);

}  // namespace holm::services
