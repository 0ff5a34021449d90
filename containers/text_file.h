// The text file (interface id 15): line-oriented reading and writing of
// UTF-16LE files with a byte-order mark and of UTF-8 files without one.
//
// Sharing. A file is held with an advisory lock (flock) while the object has
// it open: shared when opened for reading, exclusive when created or opened
// for writing. So among text-file objects (of any process of this product)
// readers share a file and a writer has it alone, as the Windows sharing
// rule "read sharing only" gives; a conflicting open fails with error 32.
// Programs that take no such lock are not stopped: this platform has no
// mandatory sharing modes.
//
// Replacing. `create` of an existing file and `writeLines` replace the file
// atomically (temporary file beside it, flushed, renamed over it): a reader,
// and whatever survives a crash, sees the old content or the new one. The
// replacement is refused (32) while another object holds the old file.
//
// Links. A path whose last name is a symbolic link is followed only as
// platform/trusted_links.h allows (every link of the chain, and the
// directory holding it, owned by root or the service's user); writes then
// replace the link's target, and the link stays. Any other link is refused
// with error 5 and one host log line naming the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "containers/text_lines.h"
#include "hlmplg/txt_file.h"
#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::containers {

class CTxtFileImpl : public HlmPlg::ITxtFile {
  public:
    // How many bytes readLines reads at a time (the lines never depend on it).
    static constexpr size_t kReadChunk = 64 * 1024;

    bool create(const char16_t* path, bool unicode, bool failIfExists) override;
    bool open(const char16_t* path, bool writable) override;
    bool close() override;
    bool readLines(HlmPlg::IStringList* lines) override;
    bool writeLines(HlmPlg::IStringList* lines) override;
    bool appendLine(const char16_t* text) override;
    uint32_t getLastError() override;

    // Files above this size are refused by readLines and readContent with
    // error 223 (ERROR_FILE_TOO_LARGE) before anything is read: no text
    // file of the product is that large, and the bound keeps a wrong path
    // from filling memory.
    static constexpr uint64_t kMaxFileSize = 64u << 20;

    // For callers inside the project: create and open with the error as
    // the result (the last error is left alone).
    holm::platform::Status createFile(const char16_t* path, bool unicode, bool failIfExists);
    holm::platform::Status openFile(const char16_t* path, bool writable);
    // The whole content of the open file, byte-order mark included; error
    // 223 above kMaxFileSize.
    holm::platform::Status readContent(std::string& bytes);
    // Replaces the whole content of `path` with `bytes` in one atomic step
    // (32 while another object holds the file; an existing file keeps its
    // owner, group and mode, a new one is 0644), then closes.
    holm::platform::Status replaceContent(const char16_t* path, std::string_view bytes);

  private:
    // The path to use for `path` after its trusted links; an error for none
    // or a refused link.
    holm::platform::Result<std::string> followedPath(const char16_t* path);
    holm::platform::Status createAt(const std::string& path, bool unicode, bool failIfExists);
    holm::platform::Status openAt(const std::string& path, bool writable);
    holm::platform::Status readAllLines(HlmPlg::IStringList& lines);
    holm::platform::Status writeAllLines(HlmPlg::IStringList& lines);
    holm::platform::Status appendText(std::u16string_view text);
    // Replaces the file at `path` with `content` and holds the new file open
    // for reading and writing.
    holm::platform::Status replaceFile(const std::string& path, std::string_view content);
    // Takes the sharing lock on the file just opened; error 32 when another
    // object holds it.
    holm::platform::Status holdOpenedFile(holm::platform::UniqueFd file, bool writable);
    holm::containers::TextEncoding encoding() const;
    // What the plugin is told: true, or false with the error recorded as the
    // last error.
    bool reported(const holm::platform::Status& status);

    holm::platform::UniqueFd file_;
    std::string path_;  // recorded by open, for writeLines
    bool unicode_ = false;
    bool writable_ = false;
    uint32_t lastError_ = 0;
};

}  // namespace holm::containers
