// The parts of the firmware's and the UEFI Shell's interfaces that the application uses, in the
// layout the firmware gives them. Function slots the application never calls are kept as untyped
// pointers, so that the ones it calls sit at their right offsets.
#ifndef KESTOMANDREL_PLATFORM_UEFI_EFI_H
#define KESTOMANDREL_PLATFORM_UEFI_EFI_H

#include <cstddef>
#include <cstdint>

// Both targets (x86_64 and AArch64 Windows) use the firmware's calling convention by default.
#define EFIAPI

typedef uint64_t EFI_STATUS;
typedef uint64_t UINTN;
typedef void* EFI_HANDLE;
typedef void* EFI_EVENT;
typedef char16_t CHAR16;
typedef uint8_t BOOLEAN;

struct EFI_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");

struct EFI_TABLE_HEADER {
    uint64_t Signature;
    uint32_t Revision;
    uint32_t HeaderSize;
    uint32_t CRC32;
    uint32_t Reserved;
};

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
    void* Reset;
    EFI_STATUS(EFIAPI* OutputString)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, const CHAR16* String);
    // TestString, QueryMode, SetMode, SetAttribute, ClearScreen, SetCursorPosition, EnableCursor,
    // Mode follow; unused.
};

struct EFI_RUNTIME_SERVICES {
    EFI_TABLE_HEADER Hdr;
    void* GetTime;
    void* SetTime;
    void* GetWakeupTime;
    void* SetWakeupTime;
    void* SetVirtualAddressMap;
    void* ConvertPointer;
    EFI_STATUS(EFIAPI* GetVariable)
    (const CHAR16* VariableName, const EFI_GUID* VendorGuid, uint32_t* Attributes, UINTN* DataSize,
     void* Data);
    void* GetNextVariableName;
    EFI_STATUS(EFIAPI* SetVariable)
    (const CHAR16* VariableName, const EFI_GUID* VendorGuid, uint32_t Attributes, UINTN DataSize,
     const void* Data);
};

enum EFI_MEMORY_TYPE { EfiLoaderData = 2 };

#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002u

struct EFI_BOOT_SERVICES {
    EFI_TABLE_HEADER Hdr;
    void* RaiseTPL;
    void* RestoreTPL;
    void* AllocatePages;
    void* FreePages;
    void* GetMemoryMap;
    EFI_STATUS(EFIAPI* AllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, void** Buffer);
    EFI_STATUS(EFIAPI* FreePool)(void* Buffer);
    void* CreateEvent;
    void* SetTimer;
    void* WaitForEvent;
    void* SignalEvent;
    void* CloseEvent;
    EFI_STATUS(EFIAPI* CheckEvent)(EFI_EVENT Event);
    void* InstallProtocolInterface;
    void* ReinstallProtocolInterface;
    void* UninstallProtocolInterface;
    void* HandleProtocol;
    void* Reserved;
    void* RegisterProtocolNotify;
    void* LocateHandle;
    void* LocateDevicePath;
    void* InstallConfigurationTable;
    void* LoadImage;
    void* StartImage;
    EFI_STATUS(EFIAPI* Exit)
    (EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus, UINTN ExitDataSize, CHAR16* ExitData);
    void* UnloadImage;
    void* ExitBootServices;
    void* GetNextMonotonicCount;
    EFI_STATUS(EFIAPI* Stall)(UINTN Microseconds);
    EFI_STATUS(EFIAPI* SetWatchdogTimer)
    (UINTN Timeout, uint64_t WatchdogCode, UINTN DataSize, CHAR16* WatchdogData);
    void* ConnectController;
    void* DisconnectController;
    EFI_STATUS(EFIAPI* OpenProtocol)
    (EFI_HANDLE Handle, const EFI_GUID* Protocol, void** Interface, EFI_HANDLE AgentHandle,
     EFI_HANDLE ControllerHandle, uint32_t Attributes);
    void* CloseProtocol;
    void* OpenProtocolInformation;
    void* ProtocolsPerHandle;
    void* LocateHandleBuffer;
    EFI_STATUS(EFIAPI* LocateProtocol)
    (const EFI_GUID* Protocol, void* Registration, void** Interface);
};

struct EFI_SYSTEM_TABLE {
    EFI_TABLE_HEADER Hdr;
    CHAR16* FirmwareVendor;
    uint32_t FirmwareRevision;
    EFI_HANDLE ConsoleInHandle;
    void* ConIn;
    EFI_HANDLE ConsoleOutHandle;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* ConOut;
    EFI_HANDLE StandardErrorHandle;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* StdErr;
    EFI_RUNTIME_SERVICES* RuntimeServices;
    EFI_BOOT_SERVICES* BootServices;
    UINTN NumberOfTableEntries;
    void* ConfigurationTable;
};

// The UEFI Shell's interfaces (Shell 2.2).
typedef void* SHELL_FILE_HANDLE;

#define EFI_FILE_MODE_READ 0x0000000000000001ull
#define EFI_FILE_DIRECTORY 0x0000000000000010ull

struct EFI_TIME {
    uint16_t Year;
    uint8_t Month, Day, Hour, Minute, Second, Pad1;
    uint32_t Nanosecond;
    int16_t TimeZone;
    uint8_t Daylight, Pad2;
};

struct EFI_FILE_INFO {
    uint64_t Size;
    uint64_t FileSize;
    uint64_t PhysicalSize;
    EFI_TIME CreateTime;
    EFI_TIME LastAccessTime;
    EFI_TIME ModificationTime;
    uint64_t Attribute;
    // CHAR16 FileName[] follows.
};

struct EFI_SHELL_PARAMETERS_PROTOCOL {
    CHAR16** Argv;
    UINTN Argc;
    SHELL_FILE_HANDLE StdIn;
    SHELL_FILE_HANDLE StdOut;
    SHELL_FILE_HANDLE StdErr;
};

struct EFI_SHELL_PROTOCOL {
    void* Execute;
    void* GetEnv;
    void* SetEnv;
    void* GetAlias;
    void* SetAlias;
    void* GetHelpText;
    void* GetDevicePathFromMap;
    void* GetMapFromDevicePath;
    void* GetDevicePathFromFilePath;
    void* GetFilePathFromDevicePath;
    void* SetMap;
    void* GetCurDir;
    void* SetCurDir;
    void* OpenFileList;
    void* FreeFileList;
    void* RemoveDupInFileList;
    void* BatchIsActive;
    void* IsRootShell;
    void* EnablePageBreak;
    void* DisablePageBreak;
    void* GetPageBreak;
    void* GetDeviceName;
    EFI_FILE_INFO*(EFIAPI* GetFileInfo)(SHELL_FILE_HANDLE FileHandle);
    void* SetFileInfo;
    EFI_STATUS(EFIAPI* OpenFileByName)
    (const CHAR16* FileName, SHELL_FILE_HANDLE* FileHandle, uint64_t OpenMode);
    EFI_STATUS(EFIAPI* CloseFile)(SHELL_FILE_HANDLE FileHandle);
    void* CreateFile;
    EFI_STATUS(EFIAPI* ReadFile)(SHELL_FILE_HANDLE FileHandle, UINTN* ReadSize, void* Buffer);
    EFI_STATUS(EFIAPI* WriteFile)(SHELL_FILE_HANDLE FileHandle, UINTN* BufferSize, void* Buffer);
    void* DeleteFile;
    void* DeleteFileByName;
    EFI_STATUS(EFIAPI* GetFilePosition)(SHELL_FILE_HANDLE FileHandle, uint64_t* Position);
    EFI_STATUS(EFIAPI* SetFilePosition)(SHELL_FILE_HANDLE FileHandle, uint64_t Position);
    void* FlushFile;
    void* FindFiles;
    void* FindFilesInDir;
    EFI_STATUS(EFIAPI* GetFileSize)(SHELL_FILE_HANDLE FileHandle, uint64_t* Size);
    void* OpenRoot;
    void* OpenRootByHandle;
    EFI_EVENT ExecutionBreak;
    uint32_t MajorVersion;
    uint32_t MinorVersion;
};

// What the application's entry found: the firmware's tables, and the Shell's interfaces when it
// runs in the Shell (both null otherwise).
struct EfiContext {
    EFI_HANDLE image;
    EFI_SYSTEM_TABLE* system;
    EFI_SHELL_PROTOCOL* shell;
    EFI_SHELL_PARAMETERS_PROTOCOL* parameters;
};
extern EfiContext gEfi;

#endif
