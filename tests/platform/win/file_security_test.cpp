// Who may change a file: owners and access lists judged from descriptors
// written out as security descriptor strings.
#include <string>

#include <gtest/gtest.h>

#include "platform/win/file_security.h"

#include <sddl.h>

namespace holm::platform::win {
namespace {

constexpr const char* kSelf = "S-1-5-21-1-2-3-1001";
constexpr const char* kOtherUser = "S-1-5-21-1-2-3-1002";

class Descriptor {
  public:
    explicit Descriptor(const std::string& text) {
        ::ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                               &descriptor_, nullptr);
    }
    ~Descriptor() { ::LocalFree(descriptor_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return descriptor_; }

  private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

FileSecurity judged(const std::string& text) {
    Descriptor descriptor(text);
    EXPECT_NE(descriptor.get(), nullptr) << text;
    PSID self = nullptr;
    ::ConvertStringSidToSidA(kSelf, &self);
    const FileSecurity result = judgeSecurity(descriptor.get(), self);
    ::LocalFree(self);
    return result;
}

TEST(FileSecurityTest, OnlyTheSystemAdministratorsInstallerAndOwnUserMayOwn) {
    for (const std::string owner :
         {"SY", "BA", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", kSelf}) {
        EXPECT_TRUE(judged("O:" + owner + "D:P(A;;FA;;;SY)").trustedOwner) << owner;
    }
    for (const std::string owner : {kOtherUser, "BU", "AU", "WD", "CO"}) {
        EXPECT_FALSE(judged("O:" + owner + "D:P(A;;FA;;;SY)").trustedOwner) << owner;
    }
    EXPECT_FALSE(judged("D:P(A;;FA;;;SY)").trustedOwner) << "no owner at all";
}

TEST(FileSecurityTest, ARightToChangeTheFileForAnyoneElseMakesItWritable) {
    const std::string strict = "O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + std::string(kSelf) +
                               ")(A;;FR;;;BU)(A;;0x1200a9;;;WD)";
    EXPECT_FALSE(judged(strict).writableByOthers);
    // Each changing right on its own, for each kind of outsider.
    for (const std::string right :
         {"FW", "GW", "GA", "FA", "0x2", "0x4", "0x40", "SD", "WD", "WO"}) {
        for (const std::string who : {"BU", "AU", "WD", kOtherUser}) {
            EXPECT_TRUE(judged(strict + "(A;;" + right + ";;;" + who + ")").writableByOthers)
                << right << " for " << who;
        }
    }
    // A deny entry is not weighed: the grant still counts.
    EXPECT_TRUE(judged("O:SYD:P(D;;FW;;;BU)(A;;FA;;;BU)").writableByOthers);
}

TEST(FileSecurityTest, NoAccessListGrantsEverythingToEveryone) {
    // Built by hand: not every string converter makes a null list of
    // "NO_ACCESS_CONTROL".
    SECURITY_DESCRIPTOR nullList{};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&nullList, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&nullList, TRUE, nullptr, FALSE));
    EXPECT_TRUE(judgeSecurity(&nullList, nullptr).writableByOthers);
    EXPECT_TRUE(judged("O:SY").writableByOthers) << "no access list in the descriptor";
    EXPECT_FALSE(judged("O:SYD:P").writableByOthers) << "an empty list grants nothing";
}

TEST(FileSecurityTest, EntriesThatDoNotApplyToTheObjectAreIgnored) {
    // Passed on to children only, or standing for whoever creates a child.
    EXPECT_FALSE(judged("O:SYD:P(A;OICIIO;FA;;;BU)(A;OICI;FA;;;CO)(A;;FA;;;OW)").writableByOthers);
    EXPECT_TRUE(judged("O:SYD:P(A;OICI;FA;;;BU)").writableByOthers);
}

}  // namespace
}  // namespace holm::platform::win
