// Exceptions that cross from plugin code into the core's catch sites.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "hlmplg/export.h"

namespace HlmPlg {

// The record of a processor fault (signal, code, address, registers,
// backtrace) filled by the core's fault handler; the platform's form of the
// system's exception pointers. Defined in hlmplg/fault_record.h.
struct FaultRecord;

// An exception with a 32-bit error code, thrown by plugin code.
class HLMPLG_API CHlmException : public std::exception {
  public:
    explicit CHlmException(uint32_t errorCode = 0, std::string message = {})
        : m_message(std::move(message)), m_errorCode(errorCode) {}
    ~CHlmException() override = default;

    const char* what() const noexcept override { return m_message.c_str(); }
    virtual uint32_t getErrorCode() const noexcept { return m_errorCode; }

  private:
    std::string m_message;
    uint32_t m_errorCode;
};

// A processor fault turned into an exception. The fault record is not owned;
// the code name is empty until the fault is reported and then names the
// fault's exception code ("ACCESS_VIOLATION", ...).
class HLMPLG_API CHlmWin32Exception : public CHlmException {
  public:
    explicit CHlmWin32Exception(const FaultRecord* record = nullptr, uint32_t errorCode = 0)
        : CHlmException(errorCode), m_record(record) {}
    ~CHlmWin32Exception() override = default;

    const FaultRecord* getExceptionPointers() const noexcept { return m_record; }
    const std::u16string& getCodeName() const noexcept { return m_codeName; }
    void setCodeName(std::u16string name) { m_codeName = std::move(name); }

  private:
    const FaultRecord* m_record;
    std::u16string m_codeName;
};

}  // namespace HlmPlg
