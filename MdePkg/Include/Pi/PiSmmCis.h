// The SMM system table: the SMM core's services as an SMM driver sees them.
#pragma once

#include "Uefi/UefiSpec.h"

typedef EFI_STATUS(EFIAPI *EFI_SMM_LOCATE_PROTOCOL)(EFI_GUID *Protocol, VOID *Registration, VOID **Interface);

// The SMM CPU I/O protocol embedded in the table: two access records of two services each.
typedef struct {
  EFI_UNUSED_SERVICE Read;
  EFI_UNUSED_SERVICE Write;
} EFI_SMM_IO_ACCESS2;

typedef struct {
  EFI_SMM_IO_ACCESS2 Mem;
  EFI_SMM_IO_ACCESS2 Io;
} EFI_SMM_CPU_IO2_PROTOCOL;

typedef struct {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_UNUSED_SERVICE SmmInstallConfigurationTable;
  EFI_SMM_CPU_IO2_PROTOCOL SmmIo;
  EFI_UNUSED_SERVICE SmmAllocatePool;
  EFI_UNUSED_SERVICE SmmFreePool;
  EFI_UNUSED_SERVICE SmmAllocatePages;
  EFI_UNUSED_SERVICE SmmFreePages;
  EFI_UNUSED_SERVICE SmmStartupThisAp;
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  UINTN *CpuSaveStateSize;
  VOID **CpuSaveState;
  UINTN NumberOfTableEntries;
  VOID *SmmConfigurationTable;
  EFI_UNUSED_SERVICE SmmInstallProtocolInterface;
  EFI_UNUSED_SERVICE SmmUninstallProtocolInterface;
  EFI_UNUSED_SERVICE SmmHandleProtocol;
  EFI_UNUSED_SERVICE SmmRegisterProtocolNotify;
  EFI_UNUSED_SERVICE SmmLocateHandle;
  EFI_SMM_LOCATE_PROTOCOL SmmLocateProtocol;
  EFI_UNUSED_SERVICE SmiManage;
  EFI_UNUSED_SERVICE SmiHandlerRegister;
  EFI_UNUSED_SERVICE SmiHandlerUnRegister;
} EFI_SMM_SYSTEM_TABLE2;
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmIo) == 48, "SmmIo offset");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol) == 208, "SmmLocateProtocol offset");
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE2) == 240, "EFI_SMM_SYSTEM_TABLE2 size");
