// Enabling the privilege that the firmware-variable services require.
#ifndef KESTOMANDREL_FIRMWARE_PRIVILEGE_H
#define KESTOMANDREL_FIRMWARE_PRIVILEGE_H

#include "platform/platform.h"

// Enables SeSystemEnvironmentPrivilege in the token; prints its own message and returns false when
// it cannot.
bool EnableFirmwarePrivilege(HANDLE token);

// Opens the process token and enables the privilege. Only a privilege the token already holds can
// be enabled: nothing here asks for elevation. Returns false (exit code -1) after its messages.
bool RunPrivilegeStage();

#endif
