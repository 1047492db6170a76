#include "tests/test_platform.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

namespace testplatform {
namespace {

struct State {
    std::map<std::pair<std::string, std::string>, std::vector<uint8_t>> store;
    std::vector<Call> calls;
    std::map<Operation, std::pair<int, DWORD>> failures;  // call number, error
    bool lacksPrivilege = false;
    DWORD overstatedLength = 0;
    DWORD lastError = 0;
};

State& state() {
    static State s;
    return s;
}

// Logs the call; returns true when an injected failure applies to it (the error is then set).
bool Record(Call call) {
    State& s = state();
    s.calls.push_back(std::move(call));
    Operation operation = s.calls.back().operation;
    auto failure = s.failures.find(operation);
    if (failure == s.failures.end()) {
        return false;
    }
    int made = static_cast<int>(CallsOf(operation).size());
    if (made != failure->second.first) {
        return false;
    }
    s.lastError = failure->second.second;
    return true;
}

std::string Text(LPCSTR text) {
    return text == nullptr ? std::string("(null)") : std::string(text);
}

}  // namespace

void Reset() {
    state() = State();
}

void PutVariable(const std::string& name, const std::string& guid,
                 const std::vector<uint8_t>& value) {
    state().store[{name, guid}] = value;
}

bool HasVariable(const std::string& name, const std::string& guid) {
    return state().store.count({name, guid}) != 0;
}

std::vector<uint8_t> Variable(const std::string& name, const std::string& guid) {
    auto found = state().store.find({name, guid});
    return found == state().store.end() ? std::vector<uint8_t>() : found->second;
}

void FailCall(Operation operation, int callNumber, DWORD error) {
    state().failures[operation] = {callNumber, error};
}

void TokenLacksPrivilege() {
    state().lacksPrivilege = true;
}

void OverstateGetLength(DWORD length) {
    state().overstatedLength = length;
}

const std::vector<Call>& Calls() {
    return state().calls;
}

std::vector<Call> CallsOf(Operation operation) {
    std::vector<Call> selected;
    for (const Call& call : state().calls) {
        if (call.operation == operation) {
            selected.push_back(call);
        }
    }
    return selected;
}

}  // namespace testplatform

using testplatform::Call;
using testplatform::Operation;
using testplatform::Record;
using testplatform::state;

DWORD GetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pBuffer, DWORD nSize) {
    if (Record({Operation::Get,
                testplatform::Text(lpName),
                testplatform::Text(lpGuid),
                nSize,
                pBuffer == nullptr,
                {}})) {
        return 0;
    }
    auto found = state().store.find({testplatform::Text(lpName), testplatform::Text(lpGuid)});
    if (found == state().store.end()) {
        state().lastError = ERROR_ENVVAR_NOT_FOUND;
        return 0;
    }
    const std::vector<uint8_t>& value = found->second;
    if (value.size() > nSize) {
        state().lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    if (!value.empty()) {
        memcpy(pBuffer, value.data(), value.size());
    }
    state().lastError = ERROR_SUCCESS;
    if (state().overstatedLength != 0) {
        // Claims more than it wrote; the rest of the buffer is zeroed so that what the program
        // shows of it is known.
        memset(static_cast<uint8_t*>(pBuffer) + value.size(), 0, nSize - value.size());
        return state().overstatedLength;
    }
    return static_cast<DWORD>(value.size());
}

BOOL SetFirmwareEnvironmentVariableA(LPCSTR lpName, LPCSTR lpGuid, PVOID pValue, DWORD nSize) {
    const uint8_t* bytes = static_cast<const uint8_t*>(pValue);
    std::vector<uint8_t> data;
    if (pValue != nullptr) {
        data.assign(bytes, bytes + nSize);
    }
    if (Record({Operation::Set, testplatform::Text(lpName), testplatform::Text(lpGuid), nSize,
                pValue == nullptr, data})) {
        return FALSE;
    }
    std::pair<std::string, std::string> key{testplatform::Text(lpName), testplatform::Text(lpGuid)};
    if (nSize == 0) {
        if (state().store.erase(key) == 0) {
            state().lastError = ERROR_ENVVAR_NOT_FOUND;
            return FALSE;
        }
    } else {
        state().store[key] = data;
    }
    state().lastError = ERROR_SUCCESS;
    return TRUE;
}

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL OpenProcessToken(HANDLE, DWORD DesiredAccess, PHANDLE TokenHandle) {
    static int token;
    if (Record({Operation::OpenToken, "", "", DesiredAccess, TokenHandle == nullptr, {}})) {
        return FALSE;
    }
    *TokenHandle = &token;
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    if (Record({Operation::LookupPrivilege,
                testplatform::Text(lpName),
                testplatform::Text(lpSystemName),
                0,
                lpLuid == nullptr,
                {}})) {
        return FALSE;
    }
    lpLuid->LowPart = 22;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                           DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState,
                           PDWORD ReturnLength) {
    std::vector<uint8_t> entry;
    if (NewState != nullptr) {
        // Count, LUID low, LUID high, attributes: what the token is asked to do.
        DWORD fields[4] = {NewState->PrivilegeCount, NewState->Privileges[0].Luid.LowPart,
                           static_cast<DWORD>(NewState->Privileges[0].Luid.HighPart),
                           NewState->Privileges[0].Attributes};
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(fields);
        entry.assign(raw, raw + sizeof fields);
    }
    bool extras = DisableAllPrivileges || PreviousState != nullptr || ReturnLength != nullptr;
    if (Record({Operation::AdjustPrivileges, "", "", BufferLength, extras, entry})) {
        return FALSE;
    }
    state().lastError = state().lacksPrivilege ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS;
    return TRUE;
}

DWORD GetLastError() {
    return state().lastError;
}

void SetLastError(DWORD dwErrCode) {
    state().lastError = dwErrCode;
}

void Sleep(DWORD dwMilliseconds) {
    Record({Operation::Sleep, "", "", dwMilliseconds, false, {}});
}
