#include "services/exception_names.h"

namespace holm::services {

namespace {

struct CodeName {
    uint32_t code;
    const char16_t* name;
};

// Scanned in order; the last row ends the table and names every other code.
constexpr CodeName kCodeNames[] = {
    {0xC0000005, u"ACCESS_VIOLATION"},
    {0xC000008C, u"ARRAY_BOUNDS_EXCEEDED"},
    {0x80000003, u"BREAKPOINT FOUND"},
    {0x80000002, u"DATATYPE_MISALIGNMENT"},
    {0xC000008D, u"FLT_DENORMAL_OPERAND"},
    {0xC000008E, u"FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, u"FLT_INEXACT_RESULT"},
    {0xC0000090, u"FLT_INVALID_OPERATION"},
    {0xC0000091, u"FLT_OVERFLOW"},
    {0xC0000092, u"FLT_STACK_CHECK"},
    {0xC0000093, u"FLT_UNDERFLOW"},
    {0xC000001D, u"ILLEGAL_INSTRUCTION"},
    {0xC0000006, u"IN_PAGE_ERROR"},
    {0xC0000094, u"INT_DIVIDE_BY_ZERO"},
    {0xC0000095, u"INT_OVERFLOW"},
    {0xC0000026, u"INVALID_DISPOSITION"},
    {0xC0000025, u"NONCONTINUABLE_EXCEPTION"},
    {0xC0000096, u"PRIV_INSTRUCTION"},
    {0x80000004, u"SINGLE_STEP"},
    {0xC00000FD, u"STACK_OVERFLOW"},
    {0xFFFFFFFF, u"UNKNOWN"},
};

}  // namespace

const char16_t* exceptionName(uint32_t code) {
    const CodeName* row = kCodeNames;
    while (row->code != code && row->code != 0xFFFFFFFF) {
        ++row;
    }
    return row->name;
}

}  // namespace holm::services
