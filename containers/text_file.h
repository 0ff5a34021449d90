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
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "containers/text_lines.h"
#include "hlmplg/txt_file.h"
#include "platform/unique_handle.h"

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

    // Replaces the whole content of `path` with the list's texts as lines in
    // one atomic step: an existing file keeps its encoding, a missing one is
    // created, UTF-16LE with mark when `unicodeIfNew`. There is never a
    // moment with an empty or partly written file. The path is recorded and
    // the file stays open, as after writeLines.
    bool replaceLines(const char16_t* path, bool unicodeIfNew, HlmPlg::IStringList* lines);

  private:
    bool createFile(const std::string& path, bool unicode, bool failIfExists);
    bool openFile(const std::string& path, bool writable);
    bool readAllLines(HlmPlg::IStringList& lines);
    bool writeAllLines(HlmPlg::IStringList& lines);
    bool appendText(std::u16string_view text);
    // Replaces the file at `path` with `content` and holds the new file open
    // for reading and writing.
    bool replaceFile(const std::string& path, std::string_view content);
    // Takes the sharing lock on the file just opened; false (error 32) when
    // another object holds it.
    bool holdOpenedFile(holm::platform::UniqueFd file, bool writable);
    holm::containers::TextEncoding encoding() const;
    // Records `error` as the last error; always false.
    bool fail(uint32_t error);

    holm::platform::UniqueFd file_;
    std::string path_;  // recorded by open, for writeLines
    bool unicode_ = false;
    bool writable_ = false;
    uint32_t lastError_ = 0;
};
