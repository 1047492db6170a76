// An in-memory platform for the unit tests: a variable store, a token whose every outcome can be
// chosen, failures injectable per operation, and a log of every call.
#ifndef KESTOMANDREL_TESTS_TEST_PLATFORM_H
#define KESTOMANDREL_TESTS_TEST_PLATFORM_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace testplatform {

enum class Operation { Get, Set, OpenToken, LookupPrivilege, AdjustPrivileges, Sleep };

struct Call {
    Operation operation;
    std::string name;           // Get and Set
    std::string guid;           // Get and Set
    DWORD size;                 // Get: capacity; Set: data size; Sleep: milliseconds
    bool dataNull;              // Get and Set: whether the buffer or data pointer was null
    std::vector<uint8_t> data;  // Set: the bytes passed
};

// Empty store and log, no failures, a token that holds the privilege.
void Reset();

void PutVariable(const std::string& name, const std::string& guid,
                 const std::vector<uint8_t>& value);
bool HasVariable(const std::string& name, const std::string& guid);
std::vector<uint8_t> Variable(const std::string& name, const std::string& guid);

// The n-th call (from 1) of the operation fails with the error code; the others behave normally.
void FailCall(Operation operation, int callNumber, DWORD error);

// AdjustTokenPrivileges succeeds but reports ERROR_NOT_ALL_ASSIGNED.
void TokenLacksPrivilege();

// A Get returns this length instead of the stored one (a misbehaving platform), and zeroes the
// buffer after the stored bytes.
void OverstateGetLength(DWORD length);

const std::vector<Call>& Calls();
std::vector<Call> CallsOf(Operation operation);

}  // namespace testplatform

#endif
