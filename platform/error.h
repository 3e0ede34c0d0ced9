// Errors of the program: a number and a description, as the engines write them into dump files.
//
// The numbers follow the ones the Windows program raises (Visual Basic run-time errors and ADO
// errors), so that a dump reads the same on every platform. The description says what happened and
// where; callers pass it on unchanged.
#pragma once

#include <stdexcept>
#include <string>

namespace veldon {

class Error : public std::runtime_error {
public:
    Error(long number, std::string description);

    long number() const { return m_number; }
    const std::string& description() const { return m_description; }

private:
    long m_number;
    std::string m_description;
};

// Error numbers used across the program.
namespace errc {
// Visual Basic run-time errors.
inline constexpr long InvalidProcedureCall = 5;
inline constexpr long Overflow = 6;
inline constexpr long SubscriptOutOfRange = 9;
inline constexpr long TypeMismatch = 13;
inline constexpr long DiskFull = 61;
inline constexpr long PermissionDenied = 70;
inline constexpr long PathFileAccessError = 75;
inline constexpr long PathNotFound = 76;
inline constexpr long InvalidUseOfNull = 94;
// ADO errors.
inline constexpr long BadArguments = 3001;     // arguments of the wrong type or out of range
inline constexpr long NoCurrentRecord = 3021;  // BOF or EOF is True
inline constexpr long OperationInTransaction = 3246;
inline constexpr long NotUpdatable = 3251;   // the recordset does not support updating
inline constexpr long ItemNotFound = 3265;   // no field of that name
inline constexpr long ObjectClosed = 3704;   // operation on a closed object
inline constexpr long ObjectOpen = 3705;     // operation on an open object
inline constexpr long NoTransaction = 3034;  // commit or rollback without BeginTrans
// Remote calls over HTTP, as the Windows client raises them.
inline constexpr long CannotCreateObject = 429;       // CreateObject refused (no server named)
inline constexpr long CannotConnect = -2147012867;    // no connection to the server
inline constexpr long Timeout = -2147012894;          // no answer within the bound
inline constexpr long NameNotResolved = -2147012889;  // the server's name is unknown
// A failure reported by the database provider (ADO's E_FAIL), as the Access driver reports most.
inline constexpr long ProviderError = -2147467259;
}  // namespace errc

}  // namespace veldon
