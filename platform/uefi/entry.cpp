// The UEFI application's entry: finds the Shell's interfaces, hands the program its arguments as
// the OS builds get them, and returns the program's exit code as the image's status.
#include <cstdio>
#include <cstdlib>

#include "platform/uefi/efi.h"
#include "platform/uefi/efi_status.h"
#include "platform/uefi/text.h"

int main(int argc, char** argv);

EfiContext gEfi = {nullptr, nullptr, nullptr, nullptr};

namespace {

constexpr EFI_GUID kShellParametersGuid = {
    0x752f3136, 0x4e16, 0x4fdc, {0xa2, 0x2a, 0xe5, 0xf4, 0x68, 0x12, 0xf4, 0xca}};
constexpr EFI_GUID kShellGuid = {
    0x6302d008, 0x7f9b, 0x4f30, {0x87, 0xac, 0x60, 0xc9, 0xfe, 0xf5, 0xda, 0x4e}};

// The Shell's arguments in the program's 8-bit text, in one pool block: the pointers, then the
// texts. Outside the Shell there are none but the program's name.
char** NarrowArguments(int* argc) {
    static char name[] = "kestomandrel";
    static char* alone[] = {name, nullptr};
    *argc = 1;
    if (gEfi.parameters == nullptr || gEfi.parameters->Argc == 0) {
        return alone;
    }
    UINTN count = gEfi.parameters->Argc;
    size_t bytes = (count + 1) * sizeof(char*);
    for (UINTN i = 0; i < count; ++i) {
        bytes += NarrowText(gEfi.parameters->Argv[i], nullptr, 0) + 1;
    }
    char** argv = static_cast<char**>(malloc(bytes));
    if (argv == nullptr) {
        return alone;
    }
    char* text = reinterpret_cast<char*>(argv + count + 1);
    for (UINTN i = 0; i < count; ++i) {
        size_t length = NarrowText(gEfi.parameters->Argv[i], nullptr, 0);
        argv[i] = text;
        NarrowText(gEfi.parameters->Argv[i], text, length + 1);
        text += length + 1;
    }
    argv[count] = nullptr;
    *argc = static_cast<int>(count);
    return argv;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* system) {
    gEfi.image = image;
    gEfi.system = system;
    EFI_BOOT_SERVICES* boot = system->BootServices;
    void* parameters = nullptr;
    if (boot->OpenProtocol(image, &kShellParametersGuid, &parameters, image, nullptr,
                           EFI_OPEN_PROTOCOL_GET_PROTOCOL) == kEfiSuccess) {
        void* shell = nullptr;
        if (boot->LocateProtocol(&kShellGuid, nullptr, &shell) == kEfiSuccess) {
            gEfi.shell = static_cast<EFI_SHELL_PROTOCOL*>(shell);
            gEfi.parameters = static_cast<EFI_SHELL_PARAMETERS_PROTOCOL*>(parameters);
        }
    }
    // The firmware's watchdog resets a machine whose boot option runs for five minutes; the loop
    // runs until it is stopped.
    boot->SetWatchdogTimer(0, 0, 0, nullptr);

    int argc = 0;
    char** argv = NarrowArguments(&argc);
    int code = main(argc, argv);
    fflush(stdout);
    return EfiStatusForExitCode(code);
}
