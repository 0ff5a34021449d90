// The names the core gives processor fault codes in its reports.
#include <gtest/gtest.h>

#include <string>

#include "core/fault_codes.h"

namespace {

TEST(FaultCodes, TableNamesAndUnknown) {
    EXPECT_EQ(std::u16string(holm::core::codeName(0xC0000005)), u"ACCESS_VIOLATION");
    EXPECT_EQ(std::u16string(holm::core::codeName(0x80000003)), u"BREAKPOINT FOUND");
    EXPECT_EQ(std::u16string(holm::core::codeName(0xC00000FD)), u"STACK_OVERFLOW");
    EXPECT_EQ(std::u16string(holm::core::codeName(0xC0000094)), u"INT_DIVIDE_BY_ZERO");
    EXPECT_EQ(std::u16string(holm::core::codeName(0)), u"UNKNOWN");
    EXPECT_EQ(std::u16string(holm::core::codeName(0xC0000097)), u"UNKNOWN");
}

}  // namespace
