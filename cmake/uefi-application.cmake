# The tool as a UEFI application, for the UEFI Shell: Debian's clang and lld make a PE32+ image
# with the EFI application subsystem directly, with no C library (platform/uefi brings the few
# functions the program uses). KESTOMANDREL_EFI_ARCH picks the machine: x64 or aa64, the suffixes
# UEFI gives its default boot files (BOOTX64.EFI, BOOTAA64.EFI).
set(CMAKE_SYSTEM_NAME Generic)
if(NOT DEFINED KESTOMANDREL_EFI_ARCH)
    set(KESTOMANDREL_EFI_ARCH x64)
endif()
if(KESTOMANDREL_EFI_ARCH STREQUAL "x64")
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
    # The firmware's interrupts may use the area below the stack pointer.
    set(kestomandrel_efi_target_flags "-mno-red-zone")
elseif(KESTOMANDREL_EFI_ARCH STREQUAL "aa64")
    set(CMAKE_SYSTEM_PROCESSOR aarch64)
    # Floating-point and SIMD registers may be off, and no code of the program needs them.
    set(kestomandrel_efi_target_flags "-mgeneral-regs-only")
else()
    message(FATAL_ERROR "KESTOMANDREL_EFI_ARCH must be x64 or aa64, not ${KESTOMANDREL_EFI_ARCH}")
endif()
# Passed on to the compiler checks' own projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTOMANDREL_EFI_ARCH)

find_program(KESTOMANDREL_CLANG NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_CXX_COMPILER ${KESTOMANDREL_CLANG})
set(kestomandrel_efi_target --target=${CMAKE_SYSTEM_PROCESSOR}-unknown-windows)
# No runtime: the checks compile a library instead of linking a program that would need one.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_CXX_FLAGS_INIT "${kestomandrel_efi_target} -ffreestanding -fno-exceptions -fno-rtti -fno-stack-protector \
-mno-stack-arg-probe ${kestomandrel_efi_target_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kestomandrel_efi_target} -nostdlib -fuse-ld=lld -Wl,-subsystem:efi_application \
-Wl,-entry:efi_main -Wl,-Brepro")
set(KESTOMANDREL_UEFI ON)
