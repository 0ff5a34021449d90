// Verification on Windows: a verified file is held open so that it cannot be
// replaced or changed until it is closed, and neither it nor its directory
// may be changeable by other accounts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "security/product_files.h"
#include "security/support/signed_files.h"
#include "security/verified_file.h"
#include "support/test_support.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace holm::security {
namespace {

namespace fs = std::filesystem;

using VerifiedFileWindows = SignedFilesTest;

// The string form of the user this process runs as.
std::string processUser() {
    HANDLE token = nullptr;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE buffer[256];
    DWORD size = 0;
    EXPECT_TRUE(::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
    ::CloseHandle(token);
    char* text = nullptr;
    EXPECT_TRUE(::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text));
    std::string user = text;
    ::LocalFree(text);
    return user;
}

// Replaces the access list of the file or directory at `path`.
void setAccessList(const fs::path& path, const std::string& text) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(
        text.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        << text;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    HANDLE handle = ::CreateFileW(path.wstring().c_str(), READ_CONTROL | WRITE_DAC,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::SetSecurityInfo(handle, SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, dacl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    ::CloseHandle(handle);
    ::LocalFree(descriptor);
}

TEST_F(VerifiedFileWindows, AFileOrDirectoryOthersMayChangeIsRefused) {
    const fs::path path = signedFile("plugin.dll", "plugin content");
    const std::string strict = "D:P(A;;FA;;;SY)(A;;FA;;;" + processUser() + ")";
    const std::string anyoneWrites = strict + "(A;;FA;;;WD)";
    setAccessList(path, strict);
    setAccessList(dir_.path(), strict);
    EXPECT_EQ(verify(path), Reason::Verified);

    setAccessList(path, anyoneWrites);
    EXPECT_EQ(verify(path), Reason::WritableByOthers);
    EXPECT_EQ(verify(path, true), Reason::WritableByOthers) << "the relaxed check too";

    setAccessList(path, strict);
    setAccessList(dir_.path(), anyoneWrites);
    EXPECT_EQ(verify(path), Reason::DirectoryWritableByOthers);

    setAccessList(dir_.path(), strict);
    EXPECT_EQ(verify(path), Reason::Verified);
}

TEST_F(VerifiedFileWindows, AVerifiedFileCannotBeReplacedOrWrittenWhileHeld) {
    const fs::path path = signedFile("plugin.dll", "verified content");
    {
        const VerifiedFile file = VerifiedFile::open(test::utf8(path), trust_, FileRole::Plugin);
        ASSERT_TRUE(file);

        const fs::path impostor = writeFile("impostor.dll", "replaced content");
        std::error_code error;
        fs::rename(impostor, path, error);
        EXPECT_TRUE(error) << "a held file was replaced";
        std::ofstream rewrite(path, std::ios::binary | std::ios::in | std::ios::out);
        EXPECT_FALSE(rewrite.is_open()) << "a held file was opened for writing";
        EXPECT_EQ(test::bytesOf(file.loadPath()), "verified content");
    }
    // Closed, it may change again, and the change is seen.
    const fs::path impostor = dir_.path() / "impostor.dll";
    fs::rename(impostor, path);
    EXPECT_EQ(verify(path), Reason::DigestMismatch);
}

// The product directory is recognised by what it is, however a path to it
// is spelled.
TEST(ProductFilesWindows, TheRoleFollowsTheFileNotItsSpelling) {
    holm::test::TempDir product;
    const std::string directory = test::utf8(product.path());
    const std::string name(kProductFileNames[0]);
    for (const std::string& path :
         {directory + "\\" + name, directory + "/" + name, directory + "\\.\\" + name}) {
        EXPECT_EQ(roleOfFile(path, directory, FileRole::Plugin), FileRole::Product) << path;
    }
    EXPECT_EQ(roleOfFile(directory + "\\libplugin.dll", directory, FileRole::Plugin),
              FileRole::Plugin);
    EXPECT_EQ(roleOfFile("C:\\nonexistent\\" + name, directory, FileRole::Plugin),
              FileRole::Plugin);
}

}  // namespace
}  // namespace holm::security
