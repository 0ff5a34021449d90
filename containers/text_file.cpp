#include "containers/text_file.h"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <vector>

#include "common/utf16.h"
#include "containers/held_file_replace.h"
#include "containers/link_refusals.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/io.h"

namespace holm::containers {

namespace {

namespace io = holm::platform::io;
namespace WinError = holm::platform::WinError;
using holm::platform::Error;
using holm::platform::Result;
using holm::platform::Status;

constexpr std::string_view kMark(kUtf16LeMark, sizeof kUtf16LeMark);

// The UTF-8 path of a text file's name; empty for null or empty names, which
// no file has.
std::string pathOf(const char16_t* name) {
    return name != nullptr ? holm::common::utf16ToUtf8(name) : std::string();
}

// Runs `operation`, turning what it raises into an error: nothing is thrown
// to the plugin that called.
template <typename Operation>
Status guarded(Operation operation) {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        return Error::windows(WinError::kNotEnoughMemory);
    } catch (const std::length_error&) {
        return Error::windows(WinError::kNotEnoughMemory);
    } catch (...) {
        return Error::windows(WinError::kGenFailure);
    }
}

}  // namespace

bool CTxtFileImpl::create(const char16_t* path, bool unicode, bool failIfExists) {
    return reported(createFile(path, unicode, failIfExists));
}

bool CTxtFileImpl::open(const char16_t* path, bool writable) {
    return reported(openFile(path, writable));
}

Status CTxtFileImpl::createFile(const char16_t* path, bool unicode, bool failIfExists) {
    return guarded([&] {
        const auto file = followedPath(path);
        return file ? createAt(*file, unicode, failIfExists) : Status(file.error());
    });
}

Status CTxtFileImpl::openFile(const char16_t* path, bool writable) {
    return guarded([&] {
        const auto file = followedPath(path);
        return file ? openAt(*file, writable) : Status(file.error());
    });
}

Result<std::string> CTxtFileImpl::followedPath(const char16_t* path) {
    const std::string name = pathOf(path);
    if (name.empty()) {
        return Error::windows(WinError::kPathNotFound);
    }
    return holm::containers::followLinksOrReport(name);
}

bool CTxtFileImpl::close() {
    file_.reset();
    writable_ = false;
    return true;
}

bool CTxtFileImpl::readLines(HlmPlg::IStringList* lines) {
    if (lines == nullptr) {
        return reported(Error::windows(WinError::kInvalidParameter));
    }
    return reported(guarded([&] { return readAllLines(*lines); }));
}

bool CTxtFileImpl::writeLines(HlmPlg::IStringList* lines) {
    if (lines == nullptr) {
        return reported(Error::windows(WinError::kInvalidParameter));
    }
    return reported(guarded([&] { return writeAllLines(*lines); }));
}

bool CTxtFileImpl::appendLine(const char16_t* text) {
    return reported(guarded([&] { return appendText(text != nullptr ? text : u""); }));
}

Status CTxtFileImpl::readContent(std::string& bytes) {
    bytes.clear();
    if (!file_) {
        return Error::windows(WinError::kInvalidHandle);
    }
    return guarded([&]() -> Status {
        auto info = holm::platform::statDescriptor(file_.get());
        if (!info) {
            return info.error();
        }
        if (info->size > kMaxFileSize) {
            return Error::windows(WinError::kFileTooLarge);
        }
        // Bounded again while reading: the file may grow meanwhile.
        auto content = io::readWholeFile(file_.get(), kMaxFileSize, info->size);
        if (!content) {
            return content.error().errnoValue() == EFBIG
                       ? Error::windows(WinError::kFileTooLarge, EFBIG)
                       : content.error();
        }
        bytes.assign(reinterpret_cast<const char*>(content->data()), content->size());
        return {};
    });
}

Status CTxtFileImpl::replaceContent(const char16_t* path, std::string_view bytes) {
    return guarded([&] {
        const auto file = followedPath(path);
        const Status replaced = file ? replaceFile(*file, bytes) : Status(file.error());
        close();
        return replaced;
    });
}

uint32_t CTxtFileImpl::getLastError() {
    return lastError_;
}

Status CTxtFileImpl::createAt(const std::string& path, bool unicode, bool failIfExists) {
    if (path.empty()) {
        return Error::windows(WinError::kPathNotFound);
    }
    if (!failIfExists) {
        if (Status replaced = replaceFile(path, unicode ? kMark : std::string_view()); !replaced) {
            return replaced;
        }
        unicode_ = unicode;
        return {};
    }
    auto file = io::open(
        path, {.access = io::Access::ReadWrite, .create = true, .exclusive = true, .append = true});
    if (!file) {
        return holm::platform::openPathError(path, file.error());
    }
    if (Status held = holdOpenedFile(std::move(*file), true); !held) {
        return held;
    }
    unicode_ = unicode;
    if (unicode) {
        if (Status written = io::writeFull(file_.get(), kMark); !written) {
            return written;
        }
    }
    return {};
}

Status CTxtFileImpl::openAt(const std::string& path, bool writable) {
    if (path.empty()) {
        return Error::windows(WinError::kPathNotFound);
    }
    // Non-blocking, so that a FIFO in the file's place cannot hang the open;
    // it is refused below like any other file that is not a regular one.
    auto file = io::open(path, {.access = writable ? io::Access::ReadWrite : io::Access::Read,
                                .nonBlocking = true,
                                .append = writable});
    if (!file) {
        return holm::platform::openPathError(path, file.error());
    }
    if (Status held = holdOpenedFile(std::move(*file), writable); !held) {
        return held;
    }
    char mark[sizeof kUtf16LeMark] = {};
    auto got = io::readAt(file_.get(), std::span(reinterpret_cast<uint8_t*>(mark), sizeof mark), 0);
    if (!got) {
        close();
        return got.error();
    }
    unicode_ = *got == sizeof mark && std::string_view(mark, sizeof mark) == kMark;
    path_ = path;
    return {};
}

Status CTxtFileImpl::holdOpenedFile(holm::platform::UniqueFd file, bool writable) {
    auto info = holm::platform::statDescriptor(file.get());
    if (!info) {
        return info.error();
    }
    // Windows refuses a directory as a file with "access denied"; a FIFO or
    // device is no text file either.
    if (info->type != holm::platform::FileType::kRegular) {
        return Error::windows(WinError::kAccessDenied);
    }
    auto locked = writable ? io::tryLockExclusive(file.get()) : io::tryLockShared(file.get());
    if (!locked) {
        return locked.error();
    }
    if (!*locked) {
        return Error::windows(WinError::kSharingViolation);
    }
    file_ = std::move(file);
    writable_ = writable;
    return {};
}

Status CTxtFileImpl::replaceFile(const std::string& path, std::string_view content) {
    // Another object holding the old file keeps it, as the Windows sharing
    // rule would: the replacement is refused rather than pulled from under it.
    holm::platform::UniqueFd held;
    auto old = io::open(path, {.nonBlocking = true});
    if (old) {
        auto locked = io::tryLockExclusive(old->get());
        if (locked && !*locked) {
            return Error::windows(WinError::kSharingViolation);
        }
        held = std::move(*old);
    } else if (old.error().windowsError() != WinError::kFileNotFound) {
        return old.error();
    }
    if (Status replaced = replaceHeldFile(path, content, held); !replaced) {
        return holm::platform::openPathError(path, replaced.error());
    }
    auto file = io::open(path, {.access = io::Access::ReadWrite, .append = true});
    if (!file) {
        return file.error();
    }
    return holdOpenedFile(std::move(*file), true);
}

Status CTxtFileImpl::readAllLines(HlmPlg::IStringList& lines) {
    lines.clear();
    if (!file_) {
        return Error::windows(WinError::kInvalidHandle);
    }
    auto info = holm::platform::statDescriptor(file_.get());
    if (!info) {
        return info.error();
    }
    if (info->size > kMaxFileSize) {
        return Error::windows(WinError::kFileTooLarge);
    }
    TextLineDecoder decoder(encoding());
    std::vector<std::u16string> decoded;
    std::vector<uint8_t> buffer(kReadChunk);
    uint64_t offset = unicode_ ? sizeof kUtf16LeMark : 0;
    for (;;) {
        auto got = io::readAt(file_.get(), buffer, offset);
        if (!got) {
            // Lines read before the error stay in the list.
            return got.error();
        }
        if (*got == 0) {
            break;
        }
        offset += *got;
        if (offset > kMaxFileSize) {
            return Error::windows(WinError::kFileTooLarge);  // grew while being read
        }
        decoder.feed(std::string_view(reinterpret_cast<const char*>(buffer.data()), *got), decoded);
        for (const auto& line : decoded) {
            lines.add(line.c_str());
        }
        decoded.clear();
    }
    decoder.finish(decoded);
    for (const auto& line : decoded) {
        lines.add(line.c_str());
    }
    return lines.getCount() > 0 ? Status() : Error::windows(WinError::kHandleEof);
}

Status CTxtFileImpl::writeAllLines(HlmPlg::IStringList& lines) {
    close();
    if (path_.empty()) {
        return Error::windows(WinError::kPathNotFound);
    }
    std::string content(unicode_ ? kMark : std::string_view());
    HlmPlg::IStringList::Iterator* iterator = lines.createIterator();
    if (iterator == nullptr) {
        return Error::windows(WinError::kNotEnoughMemory);
    }
    try {
        for (const char16_t* line = iterator->first(); line != nullptr; line = iterator->next()) {
            appendEncodedLine(line, encoding(), content);
        }
    } catch (...) {
        lines.releaseIterator(iterator);
        throw;
    }
    lines.releaseIterator(iterator);
    return replaceFile(path_, content);
}

Status CTxtFileImpl::appendText(std::u16string_view text) {
    if (!file_) {
        return Error::windows(WinError::kInvalidHandle);
    }
    if (!writable_) {
        return Error::windows(WinError::kAccessDenied);
    }
    std::string bytes;
    appendEncodedLine(text, encoding(), bytes);
    // The file is open for appending: the line lands at its end.
    return io::writeFull(file_.get(), bytes);
}

TextEncoding CTxtFileImpl::encoding() const {
    return unicode_ ? TextEncoding::Utf16Le : TextEncoding::Utf8;
}

bool CTxtFileImpl::reported(const Status& status) {
    if (!status) {
        lastError_ = status.windowsError();
    }
    return status.ok();
}

}  // namespace holm::containers
